// The one builder of the module's enumeration classes.
#include "binding/enum_type.hpp"

#include <string>

#include "binding/type.hpp"

namespace morva {
namespace {

struct EnumFields {
  const EnumSpec* desc;
  int value;
};

std::string_view short_name(const EnumSpec& desc) {
  std::string_view name = desc.qualified_name;
  return name.substr(name.rfind('.') + 1);
}

PyObject* repr(PyObject* self) {
  const EnumFields& f = fields<EnumFields>(self);
  std::string text = std::string(short_name(*f.desc)) + "." + f.desc->members[f.value];
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* to_int(PyObject* self) { return check(PyLong_FromLong(enum_value(self))); }

// == and != against a member of the same class or any int (an int subclass keeps its own say
// through the host's reflected comparison); everything else is left to the host.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  if (Py_TYPE(other) == Py_TYPE(self)) {  // the classes are final
    bool equal = enum_value(self) == enum_value(other);
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
  }
  if (!PyLong_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  Ref mine = Ref::checked(PyLong_FromLong(enum_value(self)));
  return check(PyObject_RichCompare(mine.get(), other, op));
}

}  // namespace

PyTypeObject* build_enum_type(const EnumSpec& desc, PyObject** members) {
  PyTypeObject* type = build_type(TypeSpec{
      .name = desc.qualified_name,
      .basicsize = sizeof(Box<EnumFields>),
      .slots = {
          doc_slot(desc.doc),
          no_constructor_slot(),
          dealloc_slot<EnumFields>(),
          slot<repr>(Py_tp_repr),
          slot<richcompare>(Py_tp_richcompare),
          raw_slot(Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)),
          slot<to_int>(Py_nb_int),
      },
  });
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(type));  // dropped if a member fails
  for (std::size_t i = 0; i < desc.count; ++i) {
    Ref member = make_enum_instance(type, desc, static_cast<int>(i));
    set_class_constant(type, desc.members[i], member.get());
    if (members != nullptr) members[i] = member.release();
  }
  return reinterpret_cast<PyTypeObject*>(owner.release());
}

Ref make_enum_instance(PyTypeObject* type, const EnumSpec& desc, int value) {
  return create<EnumFields>(type, EnumFields{&desc, value});
}

int enum_value(PyObject* instance) { return fields<EnumFields>(instance).value; }

}  // namespace morva

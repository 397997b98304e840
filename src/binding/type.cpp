// Heap type construction and the shared slot helpers.
#include "binding/type.hpp"

#include "binding/check.hpp"
#include "binding/convert.hpp"

namespace morva {

PyTypeObject* build_type(TypeSpec type_def) {
  type_def.slots.push_back(PyType_Slot{0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (type_def.subclassable) flags |= Py_TPFLAGS_BASETYPE;
  PyType_Spec py_spec{type_def.name, type_def.basicsize, 0, flags, type_def.slots.data()};
  PyObject* type = PyType_FromSpec(&py_spec);
  if (type == nullptr) throw PyErrorSet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

// The generic setter writes into the type's dictionary without the immutability check that
// type.__setattr__ makes; the type's lookup cache is then told that its dictionary changed.
void set_class_constant(PyTypeObject* type, const char* name, PyObject* value) {
  Ref key = Ref::checked(PyUnicode_InternFromString(name));
  check(PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), key.get(), value));
  PyType_Modified(type);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  std::string name = type_name(type);
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name.c_str());
  return nullptr;
}

namespace {
Ref class_dict_names(PyTypeObject* type) {
  Ref names = Ref::checked(PySet_New(nullptr));
  Ref mro = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  for (Py_ssize_t i = 0, n = PyTuple_Size(mro.get()); i < n; ++i) {
    Ref dict = Ref::checked(PyObject_GetAttrString(PyTuple_GetItem(mro.get(), i), "__dict__"));
    Ref keys = Ref::checked(PyMapping_Keys(dict.get()));
    for (Py_ssize_t k = 0, m = PyList_Size(keys.get()); k < m; ++k) {
      if (PySet_Add(names.get(), PyList_GetItem(keys.get(), k)) < 0) throw PyErrorSet{};
    }
  }
  return names;
}
}  // namespace

bool LookupNames::may_find(PyTypeObject* type, PyObject* name) {
  if (!PyUnicode_CheckExact(name)) return true;
  PyObject* names = names_.get_or_make(
      [type] {
        // Relied on above: nothing can be added to the class or its bases after this point.
        MORVA_CHECK(PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE);
        MORVA_CHECK(!(PyType_GetFlags(type) & Py_TPFLAGS_BASETYPE));
        return class_dict_names(type).release();
      },
      [](PyObject* lost) { Py_DECREF(lost); });
  int found = PySet_Contains(names, name);
  if (found < 0) throw PyErrorSet{};
  return found == 1;
}

void refuse_attribute_delete() { raise(PyExc_AttributeError, "can't delete attribute"); }

void refuse_item_delete() { raise(PyExc_NotImplementedError, "can't delete item"); }

}  // namespace morva

// FrozenList: length and non-negative positional reads of the wrapped list; nothing else.
#include "tracked/frozen_list.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

struct FrozenListFields {
  Ref data;  // a list (or list subclass)
};

PyObject* data_of(PyObject* self) { return fields<FrozenListFields>(self).data.get(); }

using FrozenListNew = Signature<"FrozenList.__new__", "data">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<FrozenListNew>(args, kwargs);
  PyObject* list = a.convert<"data">(as_list);
  return create<FrozenListFields>(type, Ref::borrow(list)).release();
}

Py_ssize_t length(PyObject* self) { return check_size(PyList_Size(data_of(self))); }

// Positions count from 0 only: a negative index is out of range like any other.
PyObject* getitem(PyObject* self, PyObject* key) {
  int64_t index = convert_arg("index", key, to_i64);
  return list_get(data_of(self), static_cast<Py_ssize_t>(index)).release();
}

PyObject* str(PyObject* self) {
  Ref inner = text_of(data_of(self));
  return check(PyUnicode_FromFormat("FrozenList(%U)", inner.get()));
}

PyTypeObject* build() {
  return build_type(TypeSpec{
      .name = "morva_core.FrozenList",
      .basicsize = sizeof(Box<FrozenListFields>),
      .slots = join_slots(
          {
              doc_slot<FrozenListNew, "Immutable List Wrapper">(),
              slot<new_>(Py_tp_new),
              dealloc_slot<FrozenListFields>(),
              slot<length>(Py_sq_length),
              slot<str>(Py_tp_str),
              slot<str>(Py_tp_repr),
          },
          item_read_slots<getitem>()),
  });
}

}  // namespace

PyTypeObject* frozen_list_type() {
  return cached_type<build>();
}

Ref make_frozen_list(Ref list) {
  return create<FrozenListFields>(frozen_list_type(), std::move(list));
}

}  // namespace morva

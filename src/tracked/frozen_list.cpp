// FrozenList: length and non-negative positional reads of the wrapped list; nothing else.
#include "tracked/frozen_list.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/deep_copy.hpp"
#include "binding/stack_guard.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

struct FrozenListFields {
  Ref data;  // a list (or list subclass)
};

PyObject* data_of(PyObject* self) { return fields<FrozenListFields>(self).data.get(); }

using FrozenListNew = Signature<"FrozenList.__new__", "data">;
using FrozenListDeepcopy = Signature<"FrozenList.__deepcopy__", "memo">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<FrozenListNew>(args, kwargs);
  PyObject* list = a.convert<"data">(as_list);
  return create<FrozenListFields>(type, Ref::borrow(list)).release();
}

Py_ssize_t length(PyObject* self) { return check_size(PyList_Size(data_of(self))); }

// Positions count from 0 only: a negative index is out of range like any other.
PyObject* getitem(PyObject* self, PyObject* key) {
  int64_t index = convert_arg("index", key, to_i64);
  return list_item_or_null(data_of(self), static_cast<Py_ssize_t>(index));
}

PyObject* str(PyObject* self) {
  // The list's text may hold this view's text again, as deep as the data nests.
  check_stack("while getting the text of a FrozenList");
  Ref inner = text_of(data_of(self));
  return check(PyUnicode_FromFormat("FrozenList(%U)", inner.get()));
}

// copy.copy: another view over the same list (a view has no state of its own to copy).
PyObject* copy(PyObject* self, PyObject*) {
  return make_frozen_list(Ref::borrow(data_of(self))).release();
}

// copy.deepcopy: a new view over a deep copy of the list, made with the caller's memo.
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<FrozenListDeepcopy>(args, nargs, kwnames);
  return deep_copy_view(self, data_of(self), a.get<"memo">(), as_list, make_frozen_list).release();
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method_noargs<copy, "__copy__", "Another view over the same list.">(),
      method<deepcopy, FrozenListDeepcopy, "A new view over a deep copy of the list.">(),
      end_methods(),
  };
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
              raw_slot(Py_tp_methods, methods),
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

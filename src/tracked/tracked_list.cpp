// TrackedList: plain positional reads (from 0 only); stores and appends are reported to the
// transaction's write-log hook first and applied second; deletion is refused.
#include "tracked/tracked_list.hpp"

#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"
#include "tracked/tracked_fields.hpp"

namespace morva {
namespace {

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_tracked<TrackedListNew>(type, args, kwargs, as_list);
}

Py_ssize_t index_of(PyObject* key) {
  return static_cast<Py_ssize_t>(convert_arg("index", key, to_i64));
}

PyObject* getitem(PyObject* self, PyObject* key) {
  return list_item_or_null(fields<TrackedFields>(self).data.get(), index_of(key));
}

int setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (value == nullptr) refuse_item_delete();
  TrackedFields& f = fields<TrackedFields>(self);
  PyObject* list = f.data.get();
  Py_ssize_t index = index_of(key);
  Ref old;
  try {
    old = list_get(list, index);
  } catch (const PyErrorSet&) {
    if (!clear_if(PyExc_IndexError)) throw;
    old = Ref::borrow(Py_None);
  }
  Ref key_text = make_str(std::to_string(index));
  transaction_log_write(f.tx.get(), f.path.get(), "SET_ITEM", value, old.get(), list,
                        key_text.get());
  // The store happens after the report, so an out-of-range index fails here, list unchanged.
  return check(PyList_SetItem(list, index, Py_NewRef(value)));
}

using TrackedListAppend = Signature<"TrackedList.append", "value">;

PyObject* append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<TrackedListAppend>(args, nargs, kwnames);
  TrackedFields& f = fields<TrackedFields>(self);
  transaction_log_write(f.tx.get(), f.path.get(), "APPEND", a.get<"value">(), Py_None,
                        f.data.get(), nullptr);
  check(PyList_Append(f.data.get(), a.get<"value">()));
  Py_RETURN_NONE;
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<append, TrackedListAppend>(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.TrackedList",
      .basicsize = sizeof(Box<TrackedFields>),
      .slots = join_slots(
          {
              doc_slot<TrackedListNew, "Transaction-Tracked List">(),
              slot<new_>(Py_tp_new),
              dealloc_slot<TrackedFields>(),
              raw_slot(Py_tp_methods, methods),
          },
          item_read_slots<getitem>(), item_write_slots<setitem>()),
  });
}

}  // namespace

PyTypeObject* tracked_list_type() {
  return cached_type<build>();
}

}  // namespace morva

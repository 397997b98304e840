// TrackedDict: plain reads of the wrapped dict; every store is reported to the transaction's
// write-log hook first and applied second. Deletion is applied without a report.
#include "tracked/tracked_dict.hpp"

#include "binding/convert.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"
#include "tracked/tracked_fields.hpp"

namespace morva {
namespace {

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_tracked<TrackedDictNew>(type, args, kwargs, as_dict);
}

// No __missing__ hook: a dict subclass's default factory is not consulted.
PyObject* getitem(PyObject* self, PyObject* key) {
  Ref value = dict_get(fields<TrackedFields>(self).data.get(), key);
  if (!value) return set_error(PyExc_KeyError, "Key not found");
  return value.release();
}

int setitem(PyObject* self, PyObject* key, PyObject* value) {
  TrackedFields& f = fields<TrackedFields>(self);
  PyObject* dict = f.data.get();
  if (value == nullptr) return check(PyDict_DelItem(dict, key));
  // Owned before str(key) runs: that Python code could replace the entry.
  Ref old = dict_get(dict, key);
  if (!old) old = Ref::borrow(Py_None);
  Ref key_text = text_of(key);
  transaction_log_write(f.tx.get(), f.path.get(), "SET_ITEM", value, old.get(), dict,
                        key_text.get());
  return check(PyDict_SetItem(dict, key, value));
}

PyTypeObject* build() {
  return build_type(TypeSpec{
      .name = "morva_core.TrackedDict",
      .basicsize = sizeof(Box<TrackedFields>),
      .slots = join_slots(
          {
              doc_slot<TrackedDictNew, "Transaction-Tracked Dictionary">(),
              slot<new_>(Py_tp_new),
              dealloc_slot<TrackedFields>(),
          },
          item_read_slots<getitem>(), item_write_slots<setitem>()),
  });
}

}  // namespace

PyTypeObject* tracked_dict_type() {
  return cached_type<build>();
}

}  // namespace morva

#include "binding/dict_entry.hpp"

#include <utility>

namespace morva {

Ref DictEntry::find(PyObject* dict, PyObject* key) {
  Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key));
  if (!value) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return value;
  }
  if (peek(dict) != value.get()) remember(dict, key, value.get());
  return value;
}

// One pass over the entries: rare (a resize, a replaced dict). The position to start from next
// time is the one just before what the matching step returned (in CPython the entry's own
// index, so that a check skips no deleted entries).
void DictEntry::remember(PyObject* dict, PyObject* key, PyObject* value) {
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (v != value || !PyUnicode_CheckExact(k)) continue;
    if (k != key && PyUnicode_Compare(k, key) != 0) continue;
    // What was remembered before goes last, once this entry is whole again.
    Ref old_dict = Ref::steal(std::exchange(dict_, Py_NewRef(dict)));
    Ref old_key = Ref::steal(std::exchange(key_, Py_NewRef(k)));
    pos_ = pos - 1;
    return;
  }
}

}  // namespace morva

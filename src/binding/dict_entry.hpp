// DictEntry: the value under one exact str key in a dict, found through the position of its
// entry while that entry stays where the last full lookup found it.
//
// PyDict_Next only ever yields a pair the dict holds at that moment, so finding the remembered
// key object at the remembered position proves that the dict maps the key to the value found,
// whatever happened to the dict in between. Any other outcome (the entry deleted or moved by a
// resize, another dict) takes the full lookup, which remembers the entry afresh. A check is one
// PyDict_Next step (about half a hashed lookup) and runs no Python code.
//
// Used with the GIL held, and only in the GIL build (a remembered position would be shared by
// every thread of a free-threaded one). Holds what it remembers, so no address it compares can
// be reused for another object; instances that live for the process are never destroyed (they
// would outlive the interpreter).
#pragma once

#include "binding/object.hpp"

namespace morva {

class DictEntry {
 public:
  // The value (borrowed) when the remembered entry still holds the key in `dict`, else null.
  PyObject* peek(PyObject* dict) const noexcept {
    if (dict != dict_) return nullptr;
    Py_ssize_t pos = pos_;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    return PyDict_Next(dict, &pos, &k, &v) && k == key_ ? v : nullptr;
  }

  // The full lookup of `key` (an exact str); null, without an error, when the dict has no such
  // key. Remembers where the entry is.
  Ref find(PyObject* dict, PyObject* key);

 private:
  void remember(PyObject* dict, PyObject* key, PyObject* value);

  PyObject* dict_ = nullptr;  // strong references
  PyObject* key_ = nullptr;
  Py_ssize_t pos_ = 0;
};

}  // namespace morva

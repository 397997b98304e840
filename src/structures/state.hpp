// State: one immutable version of the application state (data and heavy zones, the lineage's
// signal channel and meta log).
#pragma once

#include <cstdint>

#include "binding/object.hpp"

namespace morva {

// The State class. The engine checks instances against it and makes its first State by
// calling it with no arguments.
PyTypeObject* state_type();
// The version number of an object known to be a State instance.
uint64_t state_version(PyObject* state);

// True when `obj` is exactly a State. The class is final and immutable, so looking up
// `update` or `version` on such an object can only find the class's own method or property:
// the caller may run update_state (read state_version) instead, with the same outcome.
inline bool is_exact_state(PyObject* obj) { return Py_TYPE(obj) == state_type(); }
// What State.update(data, heavy, signal) does, for a State instance; nullptr stands for an
// argument not passed.
Ref update_state(PyObject* state, PyObject* data, PyObject* heavy, PyObject* signal);

}  // namespace morva

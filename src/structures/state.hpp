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

// True when `obj` is exactly a State and looking up `update` (and `version`) on it would find
// the class's own method (property): the caller may then run update_state (read
// state_version) instead of the lookup and call, with the same outcome. False whenever Python
// code has replaced the attribute on the class or hooked the class's attribute lookup.
bool state_update_is_own(PyObject* obj);
bool state_update_and_version_are_own(PyObject* obj);
// What State.update(data, heavy, signal) does, for a State instance; nullptr stands for an
// argument not passed.
Ref update_state(PyObject* state, PyObject* data, PyObject* heavy, PyObject* signal);

}  // namespace morva

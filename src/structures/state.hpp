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

}  // namespace morva

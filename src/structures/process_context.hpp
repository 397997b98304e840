// ProcessContext: the per-run context (state, local dict, outbox) handed to a process.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* process_context_type();
// A new context over `state` (a State) with a new empty local dict and a new empty outbox.
Ref make_process_context(PyObject* state);

}  // namespace morva

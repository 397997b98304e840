// Launch of one process run against the engine's current state (a MorvaEngine method).
#pragma once

#include "binding/args.hpp"
#include "binding/object.hpp"

namespace morva {

using MorvaEngineExecuteProcessAsync =
    Signature<"MorvaEngine.execute_process_async", "name", "func">;
PyObject* execute_process_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace morva

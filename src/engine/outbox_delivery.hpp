// Delivery of the engine's committed messages to its attached worker (MorvaEngine methods).
#pragma once

#include "binding/args.hpp"
#include "binding/object.hpp"

namespace morva {

using MorvaEngineAttachWorker = Signature<"MorvaEngine.attach_worker", "worker">;
PyObject* attach_worker(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* process_outbox(PyObject* self, PyObject*);

}  // namespace morva

// Creation and process-wide caching of the exception types.
#include "errors/exceptions.hpp"

#include <string>

namespace morva {

namespace {
// Failing to create an exception type is an internal fault: it is raised as PanicException.
// Every one is made by the module's initialisation, which publishes it before any other
// thread can raise it; the cell keeps that publication explicit.
PyObject* exception_type(OnceCell<PyObject>& cache, const char* dotted_name, PyObject* base) {
  return cache.get_or_make(
      [&] {
        PyObject* made = PyErr_NewException(dotted_name, base, nullptr);
        if (made == nullptr) {
          PyErr_Clear();
          throw Panic(std::string("failed to create exception type ") + dotted_name);
        }
        return made;
      },
      [](PyObject* lost) { Py_DECREF(lost); });
}
}  // namespace

#define MORVA_EXCEPTION(fn, dotted, base)             \
  PyObject* fn() {                                    \
    static OnceCell<PyObject> cache;                  \
    return exception_type(cache, dotted, base);       \
  }

MORVA_EXCEPTION(write_timeout_error, "morva_core.WriteTimeoutError", PyExc_TimeoutError)
MORVA_EXCEPTION(context_error, "morva.structures.ContextError", PyExc_Exception)
MORVA_EXCEPTION(schema_violation_error, "morva.config.SchemaViolationError", PyExc_Exception)
MORVA_EXCEPTION(audit_block_error, "morva_core.AuditBlockError", PyExc_RuntimeError)
MORVA_EXCEPTION(audit_abort_error, "morva_core.AuditAbortError", PyExc_RuntimeError)
MORVA_EXCEPTION(audit_stop_error, "morva_core.AuditStopError", PyExc_RuntimeError)
MORVA_EXCEPTION(audit_warning, "morva_core.AuditWarning", PyExc_UserWarning)

#undef MORVA_EXCEPTION

}  // namespace morva

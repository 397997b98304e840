// The module's exception types and warning category: created once per process on first
// request (from their dotted names and bases) and shared by the module and every raise site.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyObject* write_timeout_error();      // morva_core.WriteTimeoutError(TimeoutError)
PyObject* context_error();            // morva.structures.ContextError(Exception)
PyObject* schema_violation_error();   // morva.config.SchemaViolationError(Exception)
PyObject* audit_block_error();        // morva_core.AuditBlockError(RuntimeError)
PyObject* audit_abort_error();        // morva_core.AuditAbortError(RuntimeError)
PyObject* audit_stop_error();         // morva_core.AuditStopError(RuntimeError)
PyObject* audit_warning();            // morva_core.AuditWarning(UserWarning)

}  // namespace morva

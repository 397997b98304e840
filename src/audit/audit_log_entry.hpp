// AuditLogEntry: the read-only Python record of one audit log entry.
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "log/log_record.hpp"

namespace morva {

PyTypeObject* audit_log_entry_type();
// A Python list of new AuditLogEntry objects, in the given order.
Ref audit_log_entries(std::vector<LogRecord> records);

}  // namespace morva

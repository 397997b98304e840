// AuditLogEntry: the read-only Python record of one audit log entry.
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "structures/meta_log.hpp"

namespace morva {

// Audit entries are the same (key, message, wall-clock time) record as the meta log's.
using AuditRecord = MetaLogRecord;

PyTypeObject* audit_log_entry_type();
// A Python list of new AuditLogEntry objects, in the given order.
Ref audit_log_entries(std::vector<AuditRecord> records);

}  // namespace morva

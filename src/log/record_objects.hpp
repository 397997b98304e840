// The Python side that MetaLogEntry and AuditLogEntry share: an instance holds one LogRecord in
// place, read through the same three properties, and lists of them are built the same way.
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "log/log_record.hpp"

namespace morva {

// The read-only properties `timestamp`, `key` and `message` of a Box<LogRecord> type.
PyGetSetDef* log_record_properties();
// The record behind an instance of such a type.
const LogRecord& log_record_of(PyObject* entry);
// A Python list of new `type` instances, one per record, in the given order.
Ref log_record_list(PyTypeObject* type, std::vector<LogRecord> records);

}  // namespace morva

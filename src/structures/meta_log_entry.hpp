// MetaLogEntry: the read-only Python record of one meta log entry, and the pieces every
// log-entry class over a MetaLogRecord shares (the audit log's entries are the same record).
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "structures/meta_log.hpp"

namespace morva {

// The read-only properties `timestamp`, `key` and `message` of a Box<MetaLogRecord> type.
PyGetSetDef* log_record_properties();
// The record behind an instance of such a type.
const MetaLogRecord& log_record_of(PyObject* entry);
// A Python list of new `type` instances, one per record, in the given order.
Ref log_record_list(PyTypeObject* type, std::vector<MetaLogRecord> records);

PyTypeObject* meta_log_entry_type();
// A Python list of new MetaLogEntry objects for a snapshot of `buffer`, oldest first. The
// snapshot is copied under the buffer's lock; the Python objects are made after it is released.
Ref meta_log_entries(const MetaLogBuffer& buffer);

}  // namespace morva

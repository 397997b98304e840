// MetaLogEntry: the read-only Python record of one meta log entry.
#pragma once

#include "binding/object.hpp"
#include "structures/meta_log.hpp"

namespace morva {

PyTypeObject* meta_log_entry_type();
// A Python list of new MetaLogEntry objects for a snapshot of `buffer`, oldest first. The
// snapshot is copied under the buffer's lock; the Python objects are made after it is released.
Ref meta_log_entries(const MetaLogBuffer& buffer);

}  // namespace morva

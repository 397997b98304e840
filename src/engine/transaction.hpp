// Transaction: staged changes committed at the end of a `with` block, plus the shadow-copy and
// write-log services used by the tracked collections and the guard.
#pragma once

#include <cstdint>

#include "binding/object.hpp"

namespace morva {

inline constexpr uint64_t kDefaultWriteTimeoutMs = 5000;

PyTypeObject* transaction_type();
// A new transaction over `engine` (a MorvaEngine) with empty staging and no start time.
Ref make_transaction(Ref engine, uint64_t write_timeout_ms);

// The write-log hook, called directly (not through attribute lookup) by the tracked
// collections: takes shared access to `tx` while it runs. `key` may be null (no key).
void transaction_log_write(PyObject* tx, PyObject* path, const char* op, PyObject* new_val,
                           PyObject* old_val, PyObject* obj_ref, PyObject* key);

}  // namespace morva

// Transaction: staged changes committed at the end of a `with` block, plus the shadow-copy and
// write-log services used by the tracked collections and the guard.
#pragma once

#include <cstdint>

#include "binding/borrow.hpp"
#include "binding/object.hpp"
#include "structures/message_list.hpp"

namespace morva {

PyTypeObject* transaction_type();
// A new transaction over `engine` (a MorvaEngine) with empty staging and no start time.
Ref make_transaction(Ref engine, uint64_t write_timeout_ms);

// The write-log hook, called directly (not through attribute lookup) by the tracked
// collections: takes shared access to `tx` while it runs. `key` may be null (no key).
void transaction_log_write(PyObject* tx, PyObject* path, const char* op, PyObject* new_val,
                           PyObject* old_val, PyObject* obj_ref, PyObject* key);

// For callers that manage the transaction's access themselves: the context guard holds it
// exclusively (without waiting) around each service, so the services below take none and
// must only be called while the caller holds that access.
BorrowFlag& transaction_access(PyObject* tx);
// The shadow copy that get_shadow returns: copy.deepcopy(value). `path` (str or None) plays no
// part in the copy.
Ref transaction_shadow(PyObject* tx, PyObject* value, PyObject* path);
// The transaction's message list, or null when no collector was ever made (nothing can have
// been added yet).
SharedMessageList transaction_outbox(PyObject* tx);
bool transaction_has_outbox(PyObject* tx);
// The write-log hook itself, taking no access.
void transaction_log_held(PyObject* tx, PyObject* path, const char* op, PyObject* new_val,
                          PyObject* old_val, PyObject* obj_ref, PyObject* key);

}  // namespace morva

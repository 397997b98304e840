// Outbox: the Python handle on a shared message list (met through ProcessContext.outbox).
#pragma once

#include "binding/object.hpp"
#include "structures/message_list.hpp"

namespace morva {

PyTypeObject* outbox_type();
// A new Outbox object sharing `list`.
Ref make_outbox(SharedMessageList list);
// A new Python list of new OutboxMsg objects for the records of `list`, oldest first. The
// records are copied under the list's lock; the objects are made after it is released.
Ref outbox_messages(const MessageList& list);

}  // namespace morva

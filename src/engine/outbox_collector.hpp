// OutboxCollector: the handle through which a transaction's messages are added.
#pragma once

#include "binding/object.hpp"
#include "structures/message_list.hpp"

namespace morva {

PyTypeObject* outbox_collector_type();
// A new collector over a transaction's message list.
Ref make_outbox_collector(SharedMessageList list);

}  // namespace morva

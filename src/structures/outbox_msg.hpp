// OutboxMsg: the Python object for one message record (topic text, shared payload).
#pragma once

#include "binding/object.hpp"
#include "structures/message_record.hpp"

namespace morva {

PyTypeObject* outbox_msg_type();
// A copy of the record behind `msg`, which must be an OutboxMsg (else the conversion
// TypeError for 'OutboxMsg'; callers wrap it for their argument name).
MessageRecord outbox_msg_record(PyObject* msg);
// A new OutboxMsg object taking over `record`.
Ref make_outbox_msg(MessageRecord record);

}  // namespace morva

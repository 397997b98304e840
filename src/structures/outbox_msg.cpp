// OutboxMsg: a read-only (topic, payload) record; the payload is shared, never copied.
#include "structures/outbox_msg.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

using MsgFields = MessageRecord;

// Topics are kept as UTF-8 with lone surrogates preserved, so any str comes back unchanged.
std::string topic_text(PyObject* str) {
  std::string scratch;
  return std::string(utf8_lossless(str, scratch));
}

using OutboxMsgNew = Signature<"OutboxMsg.__new__", "topic", "payload">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<OutboxMsgNew>(args, kwargs);
  PyObject* topic = a.convert<"topic">(as_str);
  return create<MsgFields>(type, topic_text(topic), a.get<"payload">()).release();
}

PyObject* get_topic(PyObject* self, void*) {
  return make_str_lossless(fields<MsgFields>(self).topic()).release();
}

PyObject* get_payload(PyObject* self, void*) {
  return Ref::borrow(fields<MsgFields>(self).payload()).release();
}

PyTypeObject* build() {
  static PyGetSetDef props[] = {
      getter<get_topic>("topic"),
      getter<get_payload>("payload"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.OutboxMsg",
      .basicsize = sizeof(Box<MsgFields>),
      .slots = {
          doc_slot<OutboxMsgNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<MsgFields>(),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* outbox_msg_type() {
  return cached_type<build>();
}

MessageRecord outbox_msg_record(PyObject* msg) {
  as_instance(msg, outbox_msg_type(), "OutboxMsg");
  return fields<MsgFields>(msg);
}

Ref make_outbox_msg(MessageRecord record) {
  return create<MsgFields>(outbox_msg_type(), std::move(record));
}

}  // namespace morva

// SignalHub: publishes str messages to every receiver subscribed to its channel.
#include "signals/signal_hub.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "signals/signal_receiver.hpp"

namespace morva {
namespace {

struct HubFields {
  explicit HubFields(std::shared_ptr<SignalChannel> channel) : sender(std::move(channel)) {}
  SignalSender sender;  // this hub's own publishing end
};

SignalSender& sender_of(PyObject* self) { return fields<HubFields>(self).sender; }

using SignalHubNew = Signature<"SignalHub.__new__">;
using SignalHubPublish = Signature<"SignalHub.publish", "msg">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  parse<SignalHubNew>(args, kwargs);
  auto channel = std::make_shared<SignalChannel>(SignalChannel::kRequestedRoom);
  return create<HubFields>(type, std::move(channel)).release();
}

// Never blocks: a full ring drops its oldest message instead of waiting for receivers. The
// channel keeps the str itself (it cannot change); a str subclass is kept as the plain str of
// its text, so a receiver never sees the subclass or anything it overrides.
PyObject* publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<SignalHubPublish>(args, nargs, kwnames);
  PyObject* msg = a.convert<"msg">(as_str);
  std::size_t receivers;
  if (PyUnicode_CheckExact(msg)) {
    receivers = sender_of(self).publish(msg);
  } else {
    Ref text = Ref::checked(PyUnicode_Substring(msg, 0, PyUnicode_GetLength(msg)));
    receivers = sender_of(self).publish(text.get());
  }
  return check(PyLong_FromSize_t(receivers));
}

PyObject* subscribe(PyObject* self, PyObject*) {
  return make_signal_receiver(sender_of(self).channel()).release();
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<publish, SignalHubPublish>(),
      method_noargs<subscribe, "subscribe">(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.SignalHub",
      .basicsize = sizeof(Box<HubFields>),
      .slots = {
          doc_slot<SignalHubNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<HubFields>(),
          raw_slot(Py_tp_methods, methods),
      },
  });
}

}  // namespace

PyTypeObject* signal_hub_type() {
  return cached_type<build>();
}

Ref make_signal_hub(std::shared_ptr<SignalChannel> channel) {
  return create<HubFields>(signal_hub_type(), std::move(channel));
}

}  // namespace morva

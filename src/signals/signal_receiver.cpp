// SignalReceiver: blocking receive of the next message, with the GIL released while waiting.
#include "signals/signal_receiver.hpp"

#include "binding/type.hpp"
#include "binding/waiting.hpp"

namespace morva {
namespace {

struct ReceiverFields {
  // A running recv keeps the receiver (and so the cursor) alive through its own argument.
  // Nothing on this class changes the object itself, so receives need no access flag: any
  // number may run at once, each message going to one of them.
  std::unique_ptr<SignalCursor> cursor;
};

PyObject* to_python(RecvResult& result) {
  switch (result.kind) {
    case RecvResult::Kind::kMessage:
      return result.message.release();
    case RecvResult::Kind::kLagged:
      raise_format(PyExc_RuntimeError, "Channel Lagged: missed %llu messages",
                   static_cast<unsigned long long>(result.missed));
    case RecvResult::Kind::kClosed:
      raise(PyExc_StopAsyncIteration, "Channel Closed");
    case RecvResult::Kind::kEmpty:
      break;
  }
  throw Panic("signal receive ended without a result");
}

// The wait holds no lock (a fork() taken meanwhile leaves the child a usable receiver) and
// comes back to the interpreter now and then to run pending signal handlers, so Ctrl+C ends a
// recv blocked on the main thread, as it would end a blocked queue.get().
PyObject* recv(PyObject* self, PyObject*) {
  SignalCursor& cursor = *fields<ReceiverFields>(self).cursor;
  RecvResult result = cursor.try_recv();
  while (result.kind == RecvResult::Kind::kEmpty) {
    result = cursor.recv_for(kSignalCheckInterval);
    if (result.kind == RecvResult::Kind::kEmpty) check(PyErr_CheckSignals());
  }
  return to_python(result);
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method_noargs<recv, "recv",
                    "Blocking receive. intended to be called via asyncio.to_thread()">(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.SignalReceiver",
      .basicsize = sizeof(Box<ReceiverFields>),
      .slots = {
          no_constructor_slot(),
          dealloc_slot<ReceiverFields>(),
          raw_slot(Py_tp_methods, methods),
      },
  });
}

}  // namespace

PyTypeObject* signal_receiver_type() {
  return cached_type<build>();
}

Ref make_signal_receiver(std::shared_ptr<SignalChannel> channel) {
  auto cursor = std::make_unique<SignalCursor>(std::move(channel));
  return create<ReceiverFields>(signal_receiver_type(), ReceiverFields{std::move(cursor)});
}

}  // namespace morva

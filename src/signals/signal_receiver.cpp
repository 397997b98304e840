// SignalReceiver: blocking receive of the next message, with the GIL released while waiting.
#include "signals/signal_receiver.hpp"

#include <chrono>

#include "binding/convert.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

struct ReceiverFields {
  // Shared with every receive in progress, so a running recv keeps the cursor alive. Nothing
  // on this class changes the object itself, so receives need no access flag: any number may
  // run at once, and the cursor's own lock puts them in line.
  std::shared_ptr<SignalCursor> cursor;
};

PyObject* to_python(const RecvResult& result) {
  switch (result.kind) {
    case RecvResult::Kind::kMessage:
      return make_str_lossless(result.message).release();
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

// How long a waiting receive stays away from the interpreter: it then takes the GIL back
// briefly to run pending signal handlers, so Ctrl+C (or any handler that raises) ends a recv
// blocked on the main thread, as it would end a blocked queue.get().
constexpr std::chrono::milliseconds kSignalCheckInterval{100};

PyObject* recv(PyObject* self, PyObject*) {
  const std::shared_ptr<SignalCursor>& cursor = fields<ReceiverFields>(self).cursor;
  // Fast path: a message (or lag, or closure) already there is taken without giving up the
  // GIL; it never waits, not even behind another receive on this cursor.
  RecvResult result = cursor->try_recv();
  if (result.kind != RecvResult::Kind::kEmpty) return to_python(result);
  std::shared_ptr<SignalCursor> held = cursor;
  for (;;) {
    {
      AllowThreads nogil;
      result = held->recv_for(kSignalCheckInterval);
    }
    if (result.kind != RecvResult::Kind::kEmpty) return to_python(result);
    check(PyErr_CheckSignals());
  }
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method_noargs<recv>(
          "recv",
          "recv($self)\n--\n\nBlocking receive. intended to be called via asyncio.to_thread()"),
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
  auto cursor = std::make_shared<SignalCursor>(std::move(channel));
  return create<ReceiverFields>(signal_receiver_type(), ReceiverFields{std::move(cursor)});
}

}  // namespace morva

// attach_worker / process_outbox. A delivery first takes the whole queued batch and a
// reference to the worker, then lets go of everything (queue lock, the engine's
// access) before calling the worker. So a worker may attach another worker, run
// process_outbox again, or commit on the same engine: new commits land in the emptied queue
// and wait for the next call, and nothing the worker does can touch the batch in hand.
#include "engine/outbox_delivery.hpp"

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/stack_guard.hpp"
#include "engine/engine_fields.hpp"
#include "structures/outbox_msg.hpp"

namespace morva {

PyObject* attach_worker(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  auto a = parse<MorvaEngineAttachWorker>(args, nargs, kwnames);
  return store_in(self, &MorvaEngineFields::worker, a.get<"worker">());
}

namespace {

// Hands the batch to the worker in order, each record moved into its OutboxMsg. On the first
// failure the rest of the batch is dropped, with the error put aside while payload finalizers
// may run, and the error is raised.
void deliver(PyObject* worker, MessageBatch& batch) {
  for (MessageRecord& record : batch) {
    Ref msg;
    Ref result;
    try {
      msg = make_outbox_msg(std::move(record));
      result = Ref::steal(PyObject_CallFunctionObjArgs(worker, msg.get(), nullptr));
    } catch (const PyErrorSet&) {
    }
    if (result) continue;
    {
      SavedError pending;
      msg.reset();
      release_collected([&] { MessageBatch().swap(batch); });
    }
    throw PyErrorSet{};
  }
}

}  // namespace

PyObject* process_outbox(PyObject* self, PyObject*) {
  check_stack("in process_outbox");
  MorvaEngineFields& f = engine_fields(self);
  MessageBatch batch;
  Ref worker;
  {
    BorrowFlag::Shared access(f.access);
    batch = f.queue.take_all();
    if (batch.empty()) Py_RETURN_NONE;
    worker = Ref::borrow(f.worker.get());
  }
  // No worker: the batch is discarded here, outside every lock (and outside the vector's
  // noexcept destructor: a payload's finalizer may unwind the thread at exit).
  if (worker) {
    deliver(worker.get(), batch);
  } else {
    release_collected([&] { MessageBatch().swap(batch); });
  }
  Py_RETURN_NONE;
}

}  // namespace morva

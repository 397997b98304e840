// attach_worker / process_outbox. A delivery first takes every queued message and a
// reference to the worker, then lets go of everything (queue lock, the engine's
// access) before calling the worker. So a worker may attach another worker, run
// process_outbox again, or commit on the same engine: new commits land in the emptied queue
// and wait for the next call, and nothing the worker does can touch the messages in hand.
// Every message object is made before the first is handed out: running out of memory then
// puts the messages back where they were, and a message is lost only as it always is, when
// the worker fails on an earlier one (delivery is at most once).
#include "engine/outbox_delivery.hpp"

#include <vector>

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

// The OutboxMsg objects for every record taken, oldest first, each sharing its record's
// payload. Made before any is handed out, so that running out of memory here loses nothing:
// the caller puts the records back.
std::vector<Ref> make_messages(const MessageQueue::Batches& batches) {
  std::size_t count = 0;
  for (const MessageBatch& batch : batches) count += batch.size();
  std::vector<Ref> out;
  out.reserve(count);
  for (const MessageBatch& batch : batches) {
    for (const MessageRecord& record : batch) out.push_back(make_outbox_msg(MessageRecord(record)));
  }
  return out;
}

// Hands the messages to the worker in order. On the first failure the rest are dropped, with
// the error put aside while payload finalizers may run, and the error is raised.
void deliver(PyObject* worker, std::vector<Ref>& messages) {
  for (Ref& msg : messages) {
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(worker, msg.get(), nullptr));
    if (result) continue;
    {
      SavedError pending;
      release_collected([&] { std::vector<Ref>().swap(messages); });
    }
    throw PyErrorSet{};
  }
}

// Drops what was taken from the queue outside every lock (and outside the containers'
// noexcept destructors: a payload's finalizer may unwind the thread at exit).
template <typename T>
void drop(T& taken) {
  release_collected([&] { T().swap(taken); });
}

}  // namespace

PyObject* process_outbox(PyObject* self, PyObject*) {
  check_stack("in process_outbox");
  MorvaEngineFields& f = engine_fields(self);
  MessageQueue::Batches batches;
  Ref worker;
  {
    BorrowFlag::Shared access(f.access);
    batches = f.queue.take_all();
    if (batches.empty()) Py_RETURN_NONE;
    worker = f.slot(&MorvaEngineFields::worker);
  }
  if (!worker) {  // no worker: the messages are discarded
    drop(batches);
    Py_RETURN_NONE;
  }
  std::vector<Ref> messages;
  try {
    messages = make_messages(batches);
  } catch (...) {
    f.queue.put_back(batches);  // nothing was handed out: the queue is as it was
    throw;
  }
  drop(batches);
  deliver(worker.get(), messages);
  Py_RETURN_NONE;
}

}  // namespace morva

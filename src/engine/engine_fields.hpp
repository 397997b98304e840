// The MorvaEngine's fields. Private to the engine's own files (engine, state_commits,
// outbox_delivery, async_process); everything else reaches the engine through engine.hpp.
#pragma once

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/object.hpp"
#include "binding/threads.hpp"
#include "engine/commit_gate.hpp"
#include "structures/message_queue.hpp"

namespace morva {

// The lock order and what each lock covers are written at the top of state_commits.cpp.
struct MorvaEngineFields {
  // Held by every operation that builds on the current state or runs Python code while it
  // holds `access`: transaction commits, compare_and_swap, commit_state, process launches.
  CommitGate gate;
  // compare_and_swap and commit_state hold it exclusively; every other engine operation holds
  // it shared, and only while it touches the engine (never across a call into a worker).
  BorrowFlag access;
  Ref state;          // the current State; replaced only under exclusive access
  MessageQueue queue;  // committed, not yet delivered messages
  // The worker, schema and audit references (each empty until first set) and the strict flag:
  // replaced under shared access, so two threads may do it at once; `slots` serialises them
  // (under the GIL it is the GIL). Users take a new reference under it (slot()) before calling
  // out, and replaced objects are dropped after the engine's access is released.
  FtMutex slots;
  Ref worker;
  Ref schema;
  Ref audit;            // stored for callers, never read
  bool strict = false;  // stored for callers, never read

  // A new reference to what one of the reference slots holds (null when empty).
  Ref slot(Ref MorvaEngineFields::*ref) {
    FtLock hold(slots);
    return Ref::borrow((this->*ref).get());
  }

  explicit MorvaEngineFields(Ref first_state) : state(std::move(first_state)) {}
};

MorvaEngineFields& engine_fields(PyObject* engine);

// Replaces the object in one of the engine's references under shared access; the replaced
// object is released after the access is given up. Returns None for the caller.
PyObject* store_in(PyObject* engine, Ref MorvaEngineFields::*ref, PyObject* value);

// True when `engine` is exactly a MorvaEngine: the class is immutable, so looking up
// `commit_state` (or `state`) on it can only find the class's own, and a commit may do what
// they do directly.
bool is_exact_engine(PyObject* engine);
// What the `state` property returns: the current state, read under shared access.
Ref current_state(PyObject* engine);

// The MorvaEngine methods that replace the state (state_commits.cpp).
using MorvaEngineCompareAndSwap = Signature<"MorvaEngine.compare_and_swap", "expected_version",
                                            "data=None", "heavy=None", "signal=None">;
using MorvaEngineCommitState = Signature<"MorvaEngine.commit_state", "state">;
PyObject* compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* commit_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

}  // namespace morva

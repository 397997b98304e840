// MorvaEngine: the holder of the current State, its message queue and its policy slots.
#pragma once

#include <atomic>

#include "binding/borrow.hpp"
#include "binding/object.hpp"
#include "engine/slot.hpp"
#include "structures/outbox.hpp"

namespace morva {

struct EngineFields {
  // compare_and_swap and commit_state hold it exclusively; every other engine operation holds
  // it shared, and only while it touches the engine (never across a call into a worker).
  BorrowFlag access;
  // Held exclusively by a transaction commit from its read of the current state to the move
  // of its messages, so two commits whose schemas run Python code (and may release the GIL)
  // cannot both build on the same state and lose one of the updates. Another thread's commit
  // waits; a commit started from inside a commit's own callback raises "Already borrowed".
  BorrowFlag commit_gate;
  Ref state;            // the current State; replaced only under exclusive access
  MessageList queue;    // committed, not yet delivered messages
  ObjectSlot worker;
  ObjectSlot schema;
  ObjectSlot audit;     // stored for callers, never read
  std::atomic<bool> strict{false};  // stored for callers, never read

  explicit EngineFields(Ref first_state) : state(std::move(first_state)) {}
};

PyTypeObject* engine_type();
EngineFields& engine_fields(PyObject* engine);
// Replaces the object in one of the engine's slots under shared access; the replaced object is
// released after the access is given up. Returns None for the caller.
PyObject* store_in(PyObject* engine, ObjectSlot EngineFields::*slot, PyObject* value);
// A new engine exactly as MorvaEngine() builds it.
Ref make_engine();

}  // namespace morva

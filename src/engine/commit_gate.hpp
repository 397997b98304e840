// CommitGate: the engine's per-thread re-entrant gate that serialises every operation which
// builds on the current state (transaction commits, compare_and_swap, commit_state) and every
// operation that runs Python code while holding the engine's access flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/borrow.hpp"

namespace morva {

// Another thread waits for the gate (through the access flag's wait, with the GIL released);
// the thread that holds it passes again, so a commit made by Python code that runs inside one
// of these operations proceeds to the engine's own access rules instead of deadlocking on its
// caller. `owner_` is set by the holder once it holds the flag and cleared before it lets go;
// another thread reads it only to learn that it is not the owner, which no stale value can
// make it believe wrongly (only a thread itself ever writes its own id). `depth_` is touched by
// the owner alone, and the flag orders it between successive owners.
class CommitGate {
 public:
  void enter() {
    uint64_t me = current_thread_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    flag_.acquire_exclusive();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }
  void leave() noexcept {
    if (--depth_ == 0) {
      owner_.store(0, std::memory_order_relaxed);
      flag_.release_exclusive();
    }
  }

  class Hold {
   public:
    explicit Hold(CommitGate& gate) : gate_(gate) { gate_.enter(); }
    // On a thread the host unwinds at exit (no GIL) the gate is left alone, like an access
    // flag's guard (binding/borrow.hpp).
    ~Hold() {
      if (python_usable()) [[likely]] gate_.leave();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    CommitGate& gate_;
  };

 private:
  BorrowFlag flag_;
  std::atomic<uint64_t> owner_{0};
  uint32_t depth_ = 0;
};

}  // namespace morva

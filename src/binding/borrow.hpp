// Per-object shared / exclusive access flag. A conflicting request from a thread that already
// holds access is a re-entrant call and raises RuntimeError ("Already mutably borrowed" for a
// shared request, "Already borrowed" for an exclusive one). A conflicting request from another
// thread is ordinary concurrency: it waits, with the GIL released and no C++ mutex held, until
// the access is free. All state changes happen under the GIL, so the flag needs no atomics.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/object.hpp"

namespace morva {

// A small process-unique id for the calling thread.
uint64_t current_thread_id() noexcept;

class BorrowFlag {
 public:
  BorrowFlag() = default;
  BorrowFlag(const BorrowFlag&) = delete;
  BorrowFlag& operator=(const BorrowFlag&) = delete;

  void acquire_shared();
  void release_shared() noexcept;
  void acquire_exclusive();
  void release_exclusive() noexcept;
  // Exclusive access without waiting: any conflict, from any thread, raises RuntimeError
  // with `message`. For callers where waiting could deadlock against their own caller.
  void acquire_exclusive_now(const char* message);

  bool is_free() const noexcept { return count_ == 0; }

  class Shared {
   public:
    explicit Shared(BorrowFlag& flag) : flag_(flag) { flag_.acquire_shared(); }
    ~Shared() { flag_.release_shared(); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    BorrowFlag& flag_;
  };

  class Exclusive {
   public:
    explicit Exclusive(BorrowFlag& flag) : flag_(flag) { flag_.acquire_exclusive(); }
    struct NoWait {
      const char* message;
    };
    Exclusive(BorrowFlag& flag, NoWait no_wait) : flag_(flag) {
      flag_.acquire_exclusive_now(no_wait.message);
    }
    ~Exclusive() { flag_.release_exclusive(); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    BorrowFlag& flag_;
  };

 private:
  struct Holder {
    uint64_t thread;
    uint32_t count;
  };
  bool held_by(uint64_t thread) const noexcept;
  void add_shared_holder(uint64_t thread);
  void wait_for_release();
  void wake_waiters() noexcept;

  int32_t count_ = 0;           // > 0: shared holds; -1: exclusive; 0: free
  uint32_t waiters_ = 0;        // threads blocked in wait_for_release on this flag
  uint64_t exclusive_owner_ = 0;
  Holder first_{0, 0};          // the common case: one thread holds shared access
  std::vector<Holder> others_;  // further threads holding shared access at the same time
};

}  // namespace morva

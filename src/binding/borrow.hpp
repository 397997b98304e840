// Per-object shared / exclusive access flag. A conflicting request from a thread that already
// holds access is a re-entrant call and raises RuntimeError ("Already mutably borrowed" for a
// shared request, "Already borrowed" for an exclusive one). A conflicting request from another
// thread is ordinary concurrency: it waits, with the GIL released and no C++ mutex held, until
// the access is free (binding/waiting.hpp). Every field of a flag is read and changed under
// the flag's own lock (`lock_`, an FtMutex: the GIL where there is one, a short spin lock in
// the free-threaded build), taken for a few instructions at a time; a wake-up is sent only
// after it is released. The slow path holds the waiters mutex first and may then take the
// locks of the flags its cycle check walks, one after another (threads.hpp, the order of
// locks). Free-threaded, a request that meets another thread's hold first spins a little
// (spin_for), since holds are mostly a moment of C++ work; then it waits as described.
//
// Waits that can never end are refused instead, with the same RuntimeError: a wait that would
// close a cycle of waits (this thread waits for a holder that waits, directly or through other
// threads, for something this thread holds), and a wait for a holder that a fork() left
// behind. The check walks the holders and the list of waiting threads; it runs only when a
// request has to wait, so an uncontended request pays one comparison for it.
//
// Writers are not starved: a shared request from a thread that does not hold the flag yet
// queues behind a waiting exclusive request. That queueing gives way whenever it would close a
// cycle (the reader is admitted at once), and every new hard wait makes the queued readers
// check again, so the writer preference never causes a deadlock of its own. A waiting writer
// marks the count (kWriterWaiting), so the uncontended paths test exactly what they tested
// before waits were checked: one sign test to take shared access, one compare to release it.
//
// Interpreter exit. A daemon thread that the host ends during finalization is unwound without
// the GIL, through the Shared / Exclusive guards of the calls it was in. Their destructors then
// leave the flag alone (python_usable(), one test of a word the exit gate sets): the flag and
// the list of waiters belong to whoever holds the GIL, and the process is ending. A flag left
// held that way is never waited for: once finalizing, every thread but the finalizing one is
// gone, so a conflicting request there is refused like a same-thread conflict.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "binding/object.hpp"
#include "binding/threads.hpp"
#include "binding/waiting.hpp"

namespace morva {

// A count changed only under its flag's lock, but read without it by a thread spinning for the
// flag (free-threaded): its loads and stores are atomic and relaxed, plain moves on x86-64, and
// never read-modify-writes, which the lock makes unnecessary. Where the GIL is, nobody spins
// and it is a plain integer the compiler may keep in a register.
#ifdef Py_GIL_DISABLED
class LockedCount {
 public:
  LockedCount(int32_t x = 0) noexcept : v_(x) {}  // NOLINT: converts like the integer it stands for
  operator int32_t() const noexcept { return v_.load(std::memory_order_relaxed); }
  LockedCount& operator=(int32_t x) noexcept {
    v_.store(x, std::memory_order_relaxed);
    return *this;
  }
  int32_t operator++() noexcept { return *this = *this + 1; }
  int32_t operator--() noexcept { return *this = *this - 1; }
  LockedCount& operator|=(int32_t x) noexcept { return *this = *this | x; }
  LockedCount& operator&=(int32_t x) noexcept { return *this = *this & x; }

 private:
  std::atomic<int32_t> v_;
};
#else
using LockedCount = int32_t;
#endif

class BorrowFlag {
 public:
  BorrowFlag() = default;
  BorrowFlag(const BorrowFlag&) = delete;
  BorrowFlag& operator=(const BorrowFlag&) = delete;

  void acquire_shared() {
    uint64_t me = current_thread_id();
    {
      FtLock hold(lock_);
      if (count_ >= 0) {
        if (first_.count == 0 || first_.thread == me) [[likely]] {
          first_.thread = me;
          ++first_.count;
        } else {
          add_shared_holder(me);
        }
        ++count_;
        return;
      }
    }
    acquire_slow(false, me);
  }
  void release_shared() noexcept {
    uint64_t me = current_thread_id();
    bool wake;
    {
      FtLock hold(lock_);
      // The common case: this thread is the first holder and stays so, or holds alone.
      if (first_.thread == me && (first_.count > 1 || (first_.count == 1 && others_.empty())))
          [[likely]] {
        --first_.count;
        wake = --count_ == kWriterWaiting;
        check_bookkeeping();
      } else {
        wake = release_shared_slow(me);
      }
    }
    if (wake) wake_waiters(this);
  }
  void acquire_exclusive() {
    uint64_t me = current_thread_id();
    {
      FtLock hold(lock_);
      if (count_ == 0) {
        take_exclusive(me);
        return;
      }
    }
    acquire_slow(true, me);
  }
  void release_exclusive() noexcept;
  // Exclusive access without waiting: any conflict, from any thread, raises RuntimeError
  // with `message`. For callers where waiting could deadlock against their own caller.
  void acquire_exclusive_now(const char* message);

  bool is_free() const noexcept {
    FtLock hold(lock_);
    return free_locked();
  }

  // A moment's read of what the flag guards, as if under shared access: `read` (plain C++ work
  // and reference increments, never Python code) runs under the flag's own lock when nobody
  // holds the flag exclusively and no writer waits, since only an exclusive holder changes what
  // the flag guards. Otherwise it runs under shared access taken the usual way, so the read
  // waits for another thread's exclusive hold, queues behind a waiting writer, and is refused
  // against this thread's own. No holder is recorded: readers that only look in write one
  // lock word instead of the flag's counts and holder list.
  template <class Read>
  auto read_briefly(Read&& read) {
    {
      FtLock hold(lock_);
      if (count_ >= 0) [[likely]] return read();
    }
    Shared access(*this);
    return read();
  }


  class Shared {
   public:
    explicit Shared(BorrowFlag& flag) : flag_(flag) { flag_.acquire_shared(); }
    ~Shared() {
      if (python_usable()) [[likely]] flag_.release_shared();
    }
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
    ~Exclusive() {
      if (python_usable()) [[likely]] flag_.release_exclusive();
    }
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
  enum class Conflict { kNone, kQueued, kHeld };
  // Or-ed into a shared (or zero) count while an exclusive request waits: new readers then
  // fail the fast path's sign test and queue behind the writer.
  static constexpr int32_t kWriterWaiting = INT32_MIN;

  int32_t shared_count() const noexcept { return count_ == -1 ? 0 : count_ & INT32_MAX; }

  // With lock_ held, as every member below.
  bool free_locked() const noexcept { return count_ == 0 || count_ == kWriterWaiting; }
  bool held_by(uint64_t thread) const noexcept;
  void add_shared_holder(uint64_t thread);
  // True when a waiting writer must be woken (after lock_ is released).
  bool release_shared_slow(uint64_t me) noexcept;
  void take_exclusive(uint64_t thread) noexcept {
    count_ = -1;
    exclusive_owner_ = thread;
  }
  void acquire_slow(bool exclusive, uint64_t me);
  // Free-threaded only: tries for the access a little while before waiting; true when taken.
  bool spin_for(bool exclusive, uint64_t me);
  Conflict conflict_with(bool exclusive, uint64_t me) const noexcept;
  // Appends the threads a request of `requester` waits for; `queued` adds the exclusive
  // requests a shared request queues behind. With the list of waiters locked (and lock_).
  void append_blockers(bool exclusive, uint64_t requester, bool queued,
                       std::vector<uint64_t>& out) const;
  // The same for another flag met by the cycle check, under that flag's own lock.
  void append_blockers_of(const BorrowFlag* flag, bool exclusive, uint64_t requester,
                          bool queued, std::vector<uint64_t>& out) const;
  bool would_wait_forever(bool exclusive, uint64_t me, bool queued_too) const;
  void check_bookkeeping() const noexcept;

  mutable FtMutex lock_;
  LockedCount count_ = 0;       // shared holds (| kWriterWaiting); -1: exclusive; 0: free
  uint32_t waiters_ = 0;        // threads asleep in wait_for_wake on this flag
  uint32_t writers_waiting_ = 0;  // of those, the exclusive requests
  uint64_t exclusive_owner_ = 0;
  Holder first_{0, 0};          // the common case: one thread holds shared access
  std::vector<Holder> others_;  // further threads holding shared access at the same time
};

}  // namespace morva

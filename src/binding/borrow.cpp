// The thread-aware access flag: holders, waits, and the check that refuses endless waits.
#include "binding/borrow.hpp"

#include <algorithm>

#include "binding/check.hpp"

namespace morva {

namespace {
[[noreturn]] void raise_conflict(bool exclusive_request) {
  raise(PyExc_RuntimeError, exclusive_request ? "Already borrowed" : "Already mutably borrowed");
}
}  // namespace

bool BorrowFlag::held_by(uint64_t thread) const noexcept {
  if (count_ == -1) return exclusive_owner_ == thread;
  if (first_.count > 0 && first_.thread == thread) return true;
  for (const Holder& h : others_) {
    if (h.thread == thread) return true;
  }
  return false;
}

void BorrowFlag::add_shared_holder(uint64_t thread) {
  if (first_.count == 0 || first_.thread == thread) {
    first_.thread = thread;
    ++first_.count;
    return;
  }
  for (Holder& h : others_) {
    if (h.thread == thread) {
      ++h.count;
      return;
    }
  }
  others_.push_back(Holder{thread, 1});
}

bool BorrowFlag::release_shared_slow(uint64_t me) noexcept {
  MORVA_CHECK(shared_count() > 0 && held_by(me));
  if (first_.count > 0 && first_.thread == me) {
    --first_.count;
  } else {
    for (auto it = others_.begin(); it != others_.end(); ++it) {
      if (it->thread == me) {
        if (--it->count == 0) others_.erase(it);
        break;
      }
    }
  }
  if (first_.count == 0 && !others_.empty()) {
    first_ = others_.back();
    others_.pop_back();
  }
  // The last reader lets a waiting writer in. Nobody else waits on a flag held only shared.
  bool wake = --count_ == kWriterWaiting;
  check_bookkeeping();
  return wake;
}

void BorrowFlag::acquire_exclusive_now(const char* message) {
  {
    FtLock hold(lock_);
    if (free_locked()) {
      take_exclusive(current_thread_id());
      return;
    }
  }
  raise(PyExc_RuntimeError, message);
}

void BorrowFlag::release_exclusive() noexcept {
  bool wake;
  {
    FtLock hold(lock_);
    MORVA_CHECK(count_ == -1 && exclusive_owner_ == current_thread_id());
    count_ = 0;
    exclusive_owner_ = 0;
    wake = waiters_ > 0;
    if (wake && writers_waiting_ > 0) count_ = kWriterWaiting;
  }
  if (wake) wake_waiters(this);
}

// kHeld: the access is taken in a way that excludes the request. kQueued: it could be shared,
// but a thread new to the flag lets a waiting exclusive request go first.
BorrowFlag::Conflict BorrowFlag::conflict_with(bool exclusive, uint64_t me) const noexcept {
  if (count_ == -1 || (exclusive && shared_count() > 0)) return Conflict::kHeld;
  if (exclusive || held_by(me)) return Conflict::kNone;
  for (const Waiter* w = first_waiter(); w != nullptr; w = w->next) {
    if (w->target == this && w->exclusive && w->thread != me) return Conflict::kQueued;
  }
  return Conflict::kNone;
}

void BorrowFlag::append_blockers_of(const BorrowFlag* flag, bool exclusive, uint64_t requester,
                                    bool queued, std::vector<uint64_t>& out) const {
  if (flag == this) {  // this request's own flag: its lock is held already
    flag->append_blockers(exclusive, requester, queued, out);
    return;
  }
  FtLock hold(flag->lock_);
  flag->append_blockers(exclusive, requester, queued, out);
}

void BorrowFlag::append_blockers(bool exclusive, uint64_t requester, bool queued,
                                 std::vector<uint64_t>& out) const {
  if (count_ == -1) {
    out.push_back(exclusive_owner_);
  } else if (exclusive) {
    if (first_.count > 0 && first_.thread != requester) out.push_back(first_.thread);
    for (const Holder& h : others_) {
      if (h.thread != requester) out.push_back(h.thread);
    }
  } else if (queued) {
    for (const Waiter* w = first_waiter(); w != nullptr; w = w->next) {
      if (w->target == this && w->exclusive && w->thread != requester) out.push_back(w->thread);
    }
  }
}

// Follows "waits for" from this request through the waiting threads: reaching this thread
// again closes a cycle; reaching a thread a fork() left behind never ends either. A thread
// that is not waiting on an access flag is running (or waiting for a message any thread may
// send) and will let go in time. Queued readers count as blocked only when `queued_too`: for
// every other request they give way instead (see the header).
bool BorrowFlag::would_wait_forever(bool exclusive, uint64_t me, bool queued_too) const {
  // Finalizing: the holders are threads the host has ended or will end before they run again.
  if (host_finalizing()) return true;
  std::vector<uint64_t> todo;
  std::vector<uint64_t> seen;
  append_blockers(exclusive, me, true, todo);
  while (!todo.empty()) {
    uint64_t thread = todo.back();
    todo.pop_back();
    if (thread == me || !thread_alive(thread)) return true;
    if (std::find(seen.begin(), seen.end(), thread) != seen.end()) continue;
    seen.push_back(thread);
    const Waiter* w = waiter_of(thread);
    if (w == nullptr || w->kind != Waiter::Kind::kAccess) continue;
    append_blockers_of(static_cast<const BorrowFlag*>(w->target), w->exclusive, thread, queued_too,
                       todo);
  }
  return false;
}

// Free-threaded, the holder of a flag is usually running C code for a moment (a swap, an
// install) on another core: a short spin takes the flag as it is let go, where going to sleep
// and being woken would cost many times the hold itself. A holder that runs Python code, or
// waits, keeps it longer; after the spin the request waits, and checks for cycles, as usual.
// A conflict with this thread's own hold, or a thread already waiting (asleep) for the flag,
// ends the spin at once: a spinner never takes the flag ahead of one.
// (Under the GIL the holder cannot run while this thread spins: no spin there.)
bool BorrowFlag::spin_for(bool exclusive, uint64_t me) {
  constexpr int kSpins = 256;
  {
    FtLock hold(lock_);
    if (held_by(me)) return false;
  }
  auto free_for_me = [&](int32_t count) { return exclusive ? count == 0 : count >= 0; };
  for (int i = 0; i < kSpins; ++i) {
    cpu_relax();
    int32_t seen = count_;  // read without the lock, so the holder keeps its cache line
    if (seen < -1) return false;  // a writer waits: queue behind it
    if (!free_for_me(seen)) continue;
    FtLock hold(lock_);
    if (waiters_ > 0) return false;  // never ahead of a thread already asleep for it
    if (!free_for_me(count_)) continue;
    if (exclusive) {
      take_exclusive(me);
    } else {
      add_shared_holder(me);
      ++count_;
    }
    check_bookkeeping();
    return true;
  }
  return false;
}

// The waiters mutex is held from the check to the sleep, and a flag's holder wakes its waiters
// only after changing the flag (under lock_) and through that mutex: a release either comes
// before the check, which then finds the flag free, or finds this request counted in
// `waiters_` and wakes it once it sleeps. No wake-up is lost, with or without a GIL.
void BorrowFlag::acquire_slow(bool exclusive, uint64_t me) {
  if (kFreeThreaded && spin_for(exclusive, me)) return;
  for (;;) {
    std::unique_lock<std::mutex> lock = lock_waiters();
    bool queued;
    bool refused;
    {
      FtLock hold(lock_);
      Conflict conflict = conflict_with(exclusive, me);
      refused = conflict == Conflict::kHeld && held_by(me);
      queued = conflict == Conflict::kQueued;
      if (!refused && conflict != Conflict::kNone && would_wait_forever(exclusive, me, queued)) {
        refused = !queued;
        conflict = Conflict::kNone;  // a queued reader gives way rather than deadlock
      }
      if (!refused && conflict == Conflict::kNone) {
        if (exclusive) {
          take_exclusive(me);  // drops kWriterWaiting; release_exclusive sets it again if needed
        } else {
          add_shared_holder(me);
          ++count_;
        }
        check_bookkeeping();
        return;
      }
      if (!refused) {
        ++waiters_;
        if (exclusive) {
          ++writers_waiting_;
          if (count_ != -1) count_ |= kWriterWaiting;
        }
      }
    }
    if (refused) break;
    Waiter self(me, this, Waiter::Kind::kAccess, exclusive);
    // A new hard wait may close a cycle through a queued reader: those readers look again.
    if (!queued) wake_waiters_locked(nullptr, true);
    wait_for_wake(lock, self, kSignalCheckInterval);
    bool wake_readers = false;
    {
      FtLock hold(lock_);
      --waiters_;
      if (exclusive && --writers_waiting_ == 0) {
        if (count_ != -1) count_ &= INT32_MAX;
        // Readers queued behind this request may go now, if it gives up below.
        wake_readers = waiters_ > 0;
      }
    }
    if (wake_readers) wake_waiters(this, true);
    check(PyErr_CheckSignals());
  }
  // Refused: the waiters mutex went with `lock` as the loop ended.
  raise_conflict(exclusive);
}

void BorrowFlag::check_bookkeeping() const noexcept {
  MORVA_DEBUG_ONLY({
    MORVA_CHECK((count_ == -1) == (exclusive_owner_ != 0));
    MORVA_CHECK(count_ >= -1 || writers_waiting_ > 0);
    if (count_ != -1) {
      int64_t sum = first_.count;
      MORVA_CHECK(first_.count > 0 || others_.empty());
      for (std::size_t i = 0; i < others_.size(); ++i) {
        MORVA_CHECK(others_[i].count > 0 && others_[i].thread != first_.thread);
        for (std::size_t j = 0; j < i; ++j) MORVA_CHECK(others_[i].thread != others_[j].thread);
        sum += others_[i].count;
      }
      MORVA_CHECK(sum == shared_count());
    }
  })
}

}  // namespace morva

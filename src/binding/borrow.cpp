// The thread-aware access flag.
#include "binding/borrow.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace morva {

namespace {
// One process-wide wait point: waits are rare (two threads on one object), so a shared
// condition variable with re-checks is simpler than one per object and costs nothing idle.
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;

[[noreturn]] void raise_conflict(bool exclusive_request) {
  raise(PyExc_RuntimeError, exclusive_request ? "Already borrowed" : "Already mutably borrowed");
}
}  // namespace

uint64_t current_thread_id() noexcept {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

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

void BorrowFlag::acquire_shared() {
  uint64_t me = current_thread_id();
  while (count_ < 0) {
    if (exclusive_owner_ == me) raise_conflict(false);
    wait_for_release();
  }
  add_shared_holder(me);
  ++count_;
}

void BorrowFlag::release_shared() noexcept {
  uint64_t me = current_thread_id();
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
  if (--count_ == 0 && waiters_ > 0) wake_waiters();
}

void BorrowFlag::acquire_exclusive() {
  uint64_t me = current_thread_id();
  while (count_ != 0) {
    if (held_by(me)) raise_conflict(true);
    wait_for_release();
  }
  count_ = -1;
  exclusive_owner_ = me;
}

void BorrowFlag::acquire_exclusive_now(const char* message) {
  if (count_ != 0) raise(PyExc_RuntimeError, message);
  count_ = -1;
  exclusive_owner_ = current_thread_id();
}

void BorrowFlag::release_exclusive() noexcept {
  count_ = 0;
  exclusive_owner_ = 0;
  if (waiters_ > 0) wake_waiters();
}

void BorrowFlag::wait_for_release() {
  ++waiters_;
  {
    // Taken with the GIL held: nobody holding g_wait_mutex ever waits for the GIL, and a
    // releaser (who holds the GIL) can only notify once we are inside wait(), so no wake-up
    // is lost. The mutex is given up before the GIL is taken back.
    std::unique_lock<std::mutex> lock(g_wait_mutex);
    PyThreadState* saved = PyEval_SaveThread();
    g_wait_cv.wait(lock);
    lock.unlock();
    PyEval_RestoreThread(saved);
  }
  --waiters_;
}

void BorrowFlag::wake_waiters() noexcept {
  { std::lock_guard<std::mutex> lock(g_wait_mutex); }
  g_wait_cv.notify_all();
}

}  // namespace morva

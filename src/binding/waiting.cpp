// The list of waiting threads and the fork handlers that keep it usable in a child.
#include "binding/waiting.hpp"

#include <pthread.h>

#include <atomic>
#include <new>

#include "binding/check.hpp"
#include "binding/object.hpp"

namespace morva {
namespace {

std::atomic<uint64_t> g_next_thread_id{1};
// Threads with an id below g_fork_floor existed before the last fork(); of those only
// g_fork_survivor (the thread that forked) exists in this process. Written only in the child
// handler, while the child has one thread.
uint64_t g_fork_floor = 0;
uint64_t g_fork_survivor = 0;

// Constructed in place so the child can build a fresh one over a copy that may be locked.
alignas(std::mutex) unsigned char g_mutex_storage[sizeof(std::mutex)];
std::mutex& g_mutex() { return *std::launder(reinterpret_cast<std::mutex*>(g_mutex_storage)); }
Waiter* g_first = nullptr;

// The parent holds the mutex across fork(), so the child's copy of the list is whole. The
// child drops it: its Waiters live on stacks of threads the child does not have.
void before_fork() { g_mutex().lock(); }
void after_fork_in_parent() { g_mutex().unlock(); }
void after_fork_in_child() {
  new (g_mutex_storage) std::mutex();
  g_first = nullptr;
  g_fork_floor = g_next_thread_id.load(std::memory_order_relaxed);
  g_fork_survivor = current_thread_id();
}

struct Setup {
  Setup() {
    new (g_mutex_storage) std::mutex();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
  }
};
const Setup g_setup;

void unlink(Waiter& self) noexcept {
  for (Waiter** p = &g_first; *p != nullptr; p = &(*p)->next) {
    if (*p == &self) {
      *p = self.next;
      return;
    }
  }
  MORVA_CHECK(!"a waiter left a list it was not in");
}

}  // namespace

namespace waiting_detail {
__thread uint64_t t_thread_id = 0;

uint64_t assign_thread_id() noexcept {
  t_thread_id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
  return t_thread_id;
}

}  // namespace waiting_detail

bool thread_alive(uint64_t thread) noexcept {
  return thread >= g_fork_floor || thread == g_fork_survivor;
}

std::unique_lock<std::mutex> lock_waiters() { return std::unique_lock<std::mutex>(g_mutex()); }

const Waiter* first_waiter() noexcept { return g_first; }

const Waiter* waiter_of(uint64_t thread) noexcept {
  for (const Waiter* w = g_first; w != nullptr; w = w->next) {
    if (w->thread == thread) return w;
  }
  return nullptr;
}

void wait_for_wake(std::unique_lock<std::mutex>& lock, Waiter& self,
                   std::chrono::milliseconds patience) {
  MORVA_CHECK(lock.owns_lock() && waiter_of(self.thread) == nullptr);
  self.next = g_first;
  g_first = &self;
  PyThreadState* saved = PyEval_SaveThread();
  self.cv.wait_for(lock, patience, [&] { return self.woken; });
  unlink(self);
  lock.unlock();
  PyEval_RestoreThread(saved);
}

void wake_waiters(const void* target, bool readers_only) noexcept {
  std::lock_guard<std::mutex> lock(g_mutex());
  wake_waiters_locked(target, readers_only);
}

void wake_waiters_locked(const void* target, bool readers_only) noexcept {
  for (Waiter* w = g_first; w != nullptr; w = w->next) {
    if ((target != nullptr && w->target != target) || w->woken) continue;
    if (readers_only && (w->kind != Waiter::Kind::kAccess || w->exclusive)) continue;
    w->woken = true;
    w->cv.notify_one();
  }
}

}  // namespace morva

// Where module code blocks a thread until another thread changes something: the process-wide
// list of waiting threads (access flags, signal receivers), thread identities, and fork().
//
// Every waiting thread puts a Waiter on its own stack into one list, under one mutex, and
// sleeps on the Waiter's own condition variable with the GIL released. Whoever changes the
// awaited object wakes the Waiters of that object only. The mutex is held for short C++ work
// (a look at the awaited object, a cycle check), never across a sleep, and nobody holding it
// waits for the GIL or runs Python code; a Waiter is unlinked before its thread takes the GIL
// back, so a thread that finalization ends there leaves nothing behind in the list. A thread
// that goes to sleep holds the mutex from its last look at the object until it sleeps, and a
// waker takes it, so a change made in between is never missed.
//
// Because the list is the only place a waiting thread touches, fork() is safe: the parent
// keeps the list whole across the fork, and the child starts with an empty list and a fresh
// mutex. Threads that existed before the fork, other than the forking one, are gone in the
// child: `thread_alive` says so, and the access flags refuse to wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace morva {

namespace waiting_detail {
// The calling thread's id, 0 until its first request. Every access to a guarded object asks
// for it twice, so it is a plain word at a fixed offset from the thread pointer (the
// initial-exec model): one load, with no call into the dynamic linker and no guard. Hidden, as
// every symbol of the module, so the compiler may use the module-local access sequence.
[[gnu::visibility("hidden")]] extern __thread uint64_t t_thread_id
    __attribute__((tls_model("initial-exec")));
uint64_t assign_thread_id() noexcept;
}  // namespace waiting_detail

// A small process-unique id for the calling thread (never 0, never reused).
inline uint64_t current_thread_id() noexcept {
  uint64_t id = waiting_detail::t_thread_id;
  if (id != 0) [[likely]] return id;
  return waiting_detail::assign_thread_id();
}
// False for a thread that existed before a fork() and was left behind by it.
bool thread_alive(uint64_t thread) noexcept;

struct Waiter {
  enum class Kind { kAccess, kMessage };
  Waiter(uint64_t thread_, const void* target_, Kind kind_, bool exclusive_) noexcept
      : thread(thread_), target(target_), kind(kind_), exclusive(exclusive_) {}
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  uint64_t thread;
  const void* target;  // the object waited for: an access flag or a signal channel
  Kind kind;
  bool exclusive;      // kAccess: the access asked for
  bool woken = false;  // set by wake_waiters, under the list's mutex
  Waiter* next = nullptr;
  std::condition_variable cv;
};

// The list's mutex. Take it with the GIL held; it is never held while waiting for the GIL.
std::unique_lock<std::mutex> lock_waiters();
// The first Waiter of the list (walk with ->next), with the lock held.
const Waiter* first_waiter() noexcept;
// The Waiter of `thread`, or null when that thread does not wait; with the lock held.
const Waiter* waiter_of(uint64_t thread) noexcept;

// With the lock held and the GIL taken: links `self`, gives up the GIL and sleeps until a
// wake_waiters for its target or `patience` runs out, unlinks it, releases the lock and takes
// the GIL back. The caller checks again what it waited for: a wake-up is only a hint.
void wait_for_wake(std::unique_lock<std::mutex>& lock, Waiter& self,
                   std::chrono::milliseconds patience);
// Wakes every Waiter of `target` (of any target when null); `readers_only` limits it to
// kAccess waiters asking for shared access. Takes the lock; callable from any thread, but not
// while holding an access flag's own lock (the waiters mutex comes first).
void wake_waiters(const void* target, bool readers_only = false) noexcept;
// The same, for a caller that holds the lock already.
void wake_waiters_locked(const void* target, bool readers_only) noexcept;

// How long a wait stays away from the interpreter before it takes the GIL back to run pending
// signal handlers: Ctrl+C ends any wait of the module with KeyboardInterrupt.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{100};

}  // namespace morva

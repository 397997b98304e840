// Threads: what every class shares with other threads, what protects each piece, and the small
// primitives that do it in the free-threaded build and compile away where the GIL is.
//
// Two builds
// ----------
// With a GIL (the abi3 wheel), every call into the module runs holding it, and only
// SignalReceiver.recv, the access flags' waits and the workflow engine's debug writes give it
// up. The GIL is then the lock of everything below that names "the lock of its object": the
// primitives in this file are empty, and the code is what it was written for.
//
// Free-threaded (Py_GIL_DISABLED, a cpXYt wheel), calls run truly at once. Nothing may rely on
// the GIL: every piece of shared mutable state names what protects it, and readers of
// immutable data take no lock at all.
//
// What is shared, and what protects it
// ------------------------------------
// - Immutable after construction, read without a lock: a State (its maps' nodes are never
//   written once another map can reach them), a workflow's step tree and document, a guard's
//   contract, prefix and modes, every type object once built. They are published to other
//   threads through something that orders memory (a Python container, an access flag, an
//   atomic), never through a plain field that another thread reads at the same moment.
// - Counts inside the persistent map's nodes: atomic in the free-threaded build (one node is
//   shared by every version that did not change it), plain under the GIL.
// - Process-wide caches made on first use (types, exception types, interned names, the asyncio
//   check's stock function, a type's attribute names, a workflow's compiled conditions): a
//   OnceCell each, published with one compare-and-swap; a thread that loses the race drops
//   its own copy and uses the winner's.
// - Access flags (borrow.hpp): each flag's holders and counts sit behind the flag's own short
//   lock; the list of waiting threads behind the one waiters mutex (waiting.hpp). A flag's
//   holder may read and change whatever the flag guards, which is most of each class's fields:
//   the engine's current state, a transaction's start time, an audit system's counts.
// - The commit gate (commit_gate.hpp): an access flag, plus its owner (atomic, read by other
//   threads only to learn that they are not it) and depth (touched by its owner alone).
// - Slots that are replaced under shared access (the engine's worker, schema and audit
//   references and strict flag, a transaction's staging and message list, a guard's `log`):
//   the object's own FtMutex, held to swap a reference or to take a new reference to it.
// - Python containers the module reads while other threads may change them (a dict handed in,
//   a list a tracked proxy wraps, sys.modules): a critical section on the container around
//   every iteration, and lookups that return new references (dict_get, list_get), never a
//   borrowed one that another thread's change could free.
// - Pure C++ cores with their own std::mutex, unchanged: the message lists and the engine's
//   queue, the meta and audit rings, a workflow's history and observers, the signal channel.
// - Per thread, so never shared: the release queue and the nesting of deallocations
//   (release.hpp), the stack bounds (stack_guard.hpp), the thread ids (waiting.hpp).
//
// Which operations may run Python code
// ------------------------------------
// Callbacks (executors, conditions, observers, workers, schemas, a shadow copy's deepcopy), the
// hooks of objects handed in (__hash__, __eq__, __str__, __index__, __getitem__, keys()), the
// warnings machinery, and every release of a last reference (a finalizer). None of them ever
// runs while one of the module's C++ mutexes or FtMutexes is held: those are held for plain C++
// work and reference increments only. Critical sections may be held while Python code runs
// (the interpreter suspends them whenever the thread blocks); access flags and the commit gate
// are meant to be held across it, which is what their waits and their cycle check are for.
//
// The order of locks
// ------------------
//   1. a transaction's access flag, 2. an engine's commit gate, 3. an engine's access flag (the
//   engine's lock order, state_commits.cpp); a guard's flag, then its transaction's;
//   4. the waiters mutex, then any number of access flags' own locks (only the thread that
//   holds the waiters mutex ever holds two of those at once: a cycle check reads the flags it
//   walks);
//   5. innermost and alone: a std::mutex of a C++ core, an object's FtMutex, or one access
//   flag's own lock (no thread asks for the waiters mutex while it holds one of them).
// A thread that waits (for an access flag, or in recv) holds no mutex while it sleeps, and
// in the free-threaded build it is detached from the interpreter, so a collection that stops
// the world never waits for it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "binding/waiting.hpp"

namespace morva {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// A lock for a few instructions of C++ work on data that free-threaded callers reach at once.
// Every hold is that short by rule (plain C++ work and reference increments, never Python
// code, never a wait), so a thread that finds it taken spins (test-and-test-and-set, with a
// pause between looks, yielding the processor after a while) rather than sleeping: the holder
// is running on another core and lets go within nanoseconds, and going to sleep and being
// woken would cost far more than the hold. The word holds the holder's thread id, so that a
// child made by fork() while another thread held the lock, which would otherwise wait forever
// for a thread it does not have, takes the lock over. Under the GIL it is empty and costs
// nothing.
class FtMutex {
 public:
#ifdef Py_GIL_DISABLED
  void lock() noexcept {
    uint64_t me = current_thread_id();
    uint64_t none = 0;
    if (holder_.compare_exchange_strong(none, me, std::memory_order_acquire,
                                        std::memory_order_relaxed)) [[likely]] {
      return;
    }
    lock_contended(me);
  }
  void unlock() noexcept { holder_.store(0, std::memory_order_release); }

 private:
  void lock_contended(uint64_t me) noexcept;
  std::atomic<uint64_t> holder_{0};
#else
  void lock() noexcept {}
  void unlock() noexcept {}
#endif
};
using FtLock = std::lock_guard<FtMutex>;

// The interpreter's critical section on one Python object (a container the module reads
// while other threads may change it). Under the GIL it is empty.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* obj) noexcept { PyCriticalSection_Begin(&section_, obj); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

// One pause of a spinning thread (x86-64's `pause`): lets the core's other work and the
// holder's cache traffic go first.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A pointer made once and kept for the life of the process (a cache filled on first use).
// Readers take it with one acquire load (a plain load on x86-64); the first thread to publish
// wins, and a thread that made its own meanwhile hands it back to `drop`.
template <typename T>
class OnceCell {
 public:
  T* get() const noexcept { return value_.load(std::memory_order_acquire); }

  template <typename Drop>
  T* publish(T* made, Drop&& drop) {
    T* expected = nullptr;
    if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return made;
    }
    std::forward<Drop>(drop)(made);
    return expected;
  }

  // The value, made by `make()` on first use (which returns a T* or throws).
  template <typename Make, typename Drop>
  T* get_or_make(Make&& make, Drop&& drop) {
    if (T* value = get()) [[likely]] return value;
    return publish(std::forward<Make>(make)(), std::forward<Drop>(drop));
  }

 private:
  std::atomic<T*> value_{nullptr};
};

}  // namespace morva

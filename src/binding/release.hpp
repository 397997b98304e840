// Letting go of held references from destructors and deallocations: the per-thread queue that
// keeps the release of long chains iterative, and the gate that keeps a thread the host is
// ending at interpreter exit away from the C API.
//
// Bounded release. Deallocations count their nesting (one counter under the GIL: the sum of
// every thread's nesting, so never less than the current thread's own). Up to kDirectDepth
// levels an object's fields are simply destroyed, which may free what they held on the spot.
// Deeper, the fields are destroyed in "collecting" mode: a reference that is not the last one
// is decremented as usual (nothing can run), the last ones are put on the calling thread's
// queue, and that thread's outermost collecting frame releases them one by one in a loop; an
// object freed from that loop is itself past the depth, queues its own last references and
// returns. So a chain of a million objects each holding the next costs kDirectDepth frames
// and one loop, on any stack. While fields are collected no Python code runs (nothing reaches
// a finalizer), so the collecting mode, though global, belongs to the thread holding the GIL.
// Free-threaded, threads deallocate at the same time: the nesting, the collecting mode and the
// queue are each thread's own (thread-local), and while collecting every reference is queued,
// since another thread may drop its own reference to an object between a test of the count and
// the decrement.
//
// Exit. CPython 3.10 to 3.13 end a daemon thread that tries to take the GIL back during
// finalization with pthread_exit, whose unwinding runs the destructors of our frames without
// the GIL. Those destructors then must not touch Python (the references are leaked: the
// process is exiting), and no frame between a finalizer and the thread's start may be
// noexcept, or the unwinding terminates the process. So releases that can run finalizers
// happen in ordinary frames: the drain loop below, Ref's destructor, release_collected(),
// never inside a std::vector or std::shared_ptr destructor.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/threads.hpp"

namespace morva {
namespace release_detail {

inline constexpr unsigned kCollecting = 1;  // fields are being destroyed (see above)
inline constexpr unsigned kExiting = 2;     // the interpreter has begun to exit
// Hidden, like every symbol of the module, but said here too: the compiler then addresses these
// directly instead of through the global offset table (every release tests g_mode).
#define MORVA_HIDDEN [[gnu::visibility("hidden")]]

// Non-zero while destructor releases must look closer. Written under the GIL; read also by
// threads being unwound without it, hence atomic (relaxed: a plain load on x86-64). Free-
// threaded it holds kExiting only, and each thread's collecting bit is its own.
MORVA_HIDDEN extern std::atomic<unsigned> g_mode;

#ifdef Py_GIL_DISABLED
#define MORVA_PER_THREAD __thread __attribute__((tls_model("initial-exec")))
MORVA_HIDDEN extern MORVA_PER_THREAD unsigned t_collecting;
#else
#define MORVA_PER_THREAD
#endif

// Nesting of deallocations: all threads together under the GIL, each thread's own without it.
// A thread ended at exit in the middle of one leaves it raised, which only makes later
// deallocations collect.
MORVA_HIDDEN extern MORVA_PER_THREAD unsigned g_depth;
inline constexpr unsigned kDirectDepth = 50;

struct PendingQueue;
// While collecting: the collecting thread's queue once a last reference was queued, else null.
// Like the collecting bit, only ever touched by the thread that collects.
MORVA_HIDDEN extern MORVA_PER_THREAD PendingQueue* g_queued;

// The release mode as this thread sees it: kExiting for everyone, kCollecting its own.
inline unsigned mode() noexcept {
#ifdef Py_GIL_DISABLED
  return g_mode.load(std::memory_order_relaxed) | t_collecting;
#else
  return g_mode.load(std::memory_order_relaxed);
#endif
}
inline void set_collecting(bool on) noexcept {
#ifdef Py_GIL_DISABLED
  t_collecting = on ? kCollecting : 0;
#else
  unsigned now = g_mode.load(std::memory_order_relaxed);
  g_mode.store(on ? (now | kCollecting) : (now & ~kCollecting), std::memory_order_relaxed);
#endif
}

// Collections never nest: nothing that runs while collecting can start a deallocation.
inline void begin() noexcept { set_collecting(true); }
void release_queued();
inline void end() {
  set_collecting(false);
  if (g_queued != nullptr) [[unlikely]] release_queued();
}
void release_slow(PyObject* p);
bool python_usable_slow() noexcept;

}  // namespace release_detail

// Drops one owned reference (non-null) on behalf of a destructor or a reset. Not noexcept:
// the finalizers it runs may unwind the thread at exit.
inline void release_owned(PyObject* p) {
  unsigned mode = release_detail::mode();
  // While collecting, a reference that is not the last one is dropped as usual: nothing runs.
  if (mode == 0 || (!kFreeThreaded && mode == release_detail::kCollecting && Py_REFCNT(p) > 1))
      [[likely]] {
    Py_DECREF(p);
  } else {
    release_detail::release_slow(p);
  }
}

// False only on a thread that the host is ending during interpreter finalization: it does
// not hold the GIL and must not call the C API at all.
inline bool python_usable() noexcept {
  return !(release_detail::g_mode.load(std::memory_order_relaxed) & release_detail::kExiting) ||
         release_detail::python_usable_slow();
}

// True once the host has begun finalizing: only the finalizing thread runs from then on, and
// any other thread that tries to take the GIL back is ended. Called with the GIL held.
inline bool host_finalizing() noexcept {
  return (release_detail::g_mode.load(std::memory_order_relaxed) & release_detail::kExiting) &&
         !Py_IsInitialized();
}

// Runs `destroy()` with the last references it drops collected, then releases them from this
// frame. For containers whose destructors are noexcept (std::vector, std::shared_ptr): they
// must not be on the stack while a finalizer runs. `destroy` must not run Python code itself.
template <typename F>
void release_collected(F&& destroy) {
  release_detail::begin();
  destroy();
  release_detail::end();
}

// How a class's fields are destroyed. kDirect: on the spot up to kDirectDepth, collected
// deeper; right for fields that hold references through Ref, maps and message records, whose
// destructors may unwind. kCollect: always collected; required when references sit inside
// std containers (std::vector, std::shared_ptr), whose noexcept destructors must never be on
// the stack while a finalizer runs (the exit unwinding would terminate the process there).
enum class FieldRelease { kDirect, kCollect };

// tp_dealloc shared by every class: `Finish(self)` destroys the fields and frees the memory
// (dropping the type's reference too).
template <void (*Finish)(PyObject*), FieldRelease kHow = FieldRelease::kDirect>
void deferred_dealloc(PyObject* self) {
  using namespace release_detail;
  bool direct = kHow == FieldRelease::kDirect && g_depth < kDirectDepth;
  ++g_depth;
  if (direct) [[likely]] {
    Finish(self);
  } else {
    begin();
    Finish(self);
    end();
  }
  --g_depth;
}

// Arms the exit gate: an atexit hook notes the finalizing thread, and from then on releases
// on other threads check that they may still use the C API. Called once, at initialisation.
void arm_exit_gate();

}  // namespace morva

// The per-thread release queue with its drain loop, and the exit gate.
#include "binding/release.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "binding/object.hpp"

namespace morva {
namespace release_detail {

std::atomic<unsigned> g_mode{0};

// Last references waiting for release on one thread. Plain data with a small inline buffer,
// so the thread_local needs no constructor or destructor of its own (no TLS wrapper, nothing
// registered at thread exit); the heap buffer is freed whenever the queue runs empty.
struct PendingQueue {
  static constexpr std::size_t kInline = 32;
  PyObject* inline_items[kInline];
  PyObject** heap;
  std::size_t capacity;  // of `heap`
  std::size_t size;
  bool draining;  // a drain loop of this thread is on the stack

  PyObject** items() noexcept { return heap != nullptr ? heap : inline_items; }

  bool push(PyObject* p) noexcept {
    std::size_t room = heap != nullptr ? capacity : kInline;
    if (size == room) {
      std::size_t grown = room * 2;
      auto* bigger = static_cast<PyObject**>(std::malloc(grown * sizeof(PyObject*)));
      if (bigger == nullptr) return false;
      std::memcpy(bigger, items(), size * sizeof(PyObject*));
      std::free(heap);
      heap = bigger;
      capacity = grown;
    }
    items()[size++] = p;
    return true;
  }

  // Releases until empty. A release may free one of our objects, which queues its own last
  // references here and returns (it sees `draining`), so the loop, not the C stack, walks a
  // chain. Python code run by a release may release the GIL; other threads have their own
  // queues, and this one is only touched by this thread.
  void drain() {
    draining = true;
    while (size > 0) {
      PyObject* p = items()[--size];
      Py_DECREF(p);
    }
    draining = false;
    std::free(heap);
    heap = nullptr;
  }
};

MORVA_PER_THREAD PendingQueue* g_queued = nullptr;
MORVA_PER_THREAD unsigned g_depth = 0;
#ifdef Py_GIL_DISABLED
MORVA_PER_THREAD unsigned t_collecting = 0;
#endif

namespace {

thread_local PendingQueue t_pending{};

// The thread that ran the atexit hook: the one finalizing the interpreter.
std::atomic<unsigned long> g_exit_thread{0};

}  // namespace

void release_queued() {
  PendingQueue* q = std::exchange(g_queued, nullptr);
  if (!q->draining) q->drain();  // else the drain loop further up this thread's stack does
}

void release_slow(PyObject* p) {
  unsigned now = mode();
  // A thread being unwound at exit holds no GIL: it leaves the reference alone.
  if ((now & kExiting) && !python_usable_slow()) return;
  if (!(now & kCollecting) || (!kFreeThreaded && Py_REFCNT(p) > 1)) {
    Py_DECREF(p);  // collecting: not the last reference, so nothing can run
    return;
  }
  PendingQueue* q = g_queued != nullptr ? g_queued : &t_pending;
  if (q->push(p)) {
    g_queued = q;
    return;
  }
  // No memory for the queue: release on the spot, outside the collection (the recursion this
  // costs is bounded by what memory was left).
  PendingQueue* queued = std::exchange(g_queued, nullptr);
  set_collecting(false);
  Py_DECREF(p);
  set_collecting(true);
  g_queued = queued;
}

bool python_usable_slow() noexcept {
  // The host clears "initialized" when it starts finalizing; from then on only the
  // finalizing thread holds the GIL, every other thread is being ended.
  return Py_IsInitialized() ||
         PyThread_get_thread_ident() == g_exit_thread.load(std::memory_order_relaxed);
}

}  // namespace release_detail

namespace {

PyObject* note_exit(PyObject*, PyObject*) {
  release_detail::g_exit_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
  unsigned mode = release_detail::g_mode.load(std::memory_order_relaxed);
  release_detail::g_mode.store(mode | release_detail::kExiting, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef g_note_exit{"_morva_core_exit_gate", note_exit, METH_NOARGS, nullptr};

}  // namespace

void arm_exit_gate() {
  Ref atexit = Ref::checked(PyImport_ImportModule("atexit"));
  Ref hook = Ref::checked(PyCFunction_New(&g_note_exit, nullptr));
  Ref::checked(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace morva

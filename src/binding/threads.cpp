// The free-threaded build's short lock: the contended path of FtMutex.
#include "binding/threads.hpp"

#include <sched.h>

namespace morva {

#ifdef Py_GIL_DISABLED
// Looks without writing until the lock seems free (so the holder keeps its cache line), then
// tries once; after a few thousand looks the holder was evidently descheduled, and the
// processor is yielded between looks instead. A holder that a fork() left behind never lets go:
// the lock is taken over from it.
void FtMutex::lock_contended(uint64_t me) noexcept {
  for (unsigned looks = 0;; ++looks) {
    uint64_t holder = holder_.load(std::memory_order_relaxed);
    if (holder == 0 || (looks >= 4096 && !thread_alive(holder))) {
      if (holder_.compare_exchange_weak(holder, me, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if (looks < 4096) {
      cpu_relax();
    } else {
      sched_yield();
    }
  }
}
#endif

}  // namespace morva

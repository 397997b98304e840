// C stack bounds of the calling thread (read once per thread) and the re-entrancy guard.
#include "binding/stack_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "binding/object.hpp"

namespace morva {
namespace {

struct StackBounds {
  std::uintptr_t low = 0;  // lowest usable address (stacks grow down on every target we build)
  std::size_t size = 0;
  bool known = false;
};

const StackBounds& bounds() {
  thread_local StackBounds b = [] {
    StackBounds out;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return out;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 0) {
      out.low = reinterpret_cast<std::uintptr_t>(addr);
      out.size = size;
      out.known = true;
    }
    pthread_attr_destroy(&attr);
    return out;
  }();
  return b;
}

}  // namespace

std::size_t remaining_stack() noexcept {
  const StackBounds& b = bounds();
  if (!b.known) return SIZE_MAX;
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > b.low ? here - b.low : 0;
}

namespace {

// What a check keeps free below it: room to raise the error (the C++ unwinder alone takes a
// few KiB, and several times that in a sanitizer build, whose frames carry red zones) and for
// the host's own calls made at the level that passed. A quarter of the stack, at most
// 256 KiB; on small stacks at least kMinReserve, but never more than half of the stack.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMinReserve = 48 * 1024;
#else
constexpr std::size_t kMinReserve = 16 * 1024;
#endif

std::size_t reserve_for(std::size_t size) {
  return std::min<std::size_t>(256 * 1024, std::max(size / 4, std::min(kMinReserve, size / 2)));
}

}  // namespace

namespace stack_detail {
__thread std::uintptr_t t_floor = UINTPTR_MAX;

bool below_floor(std::uintptr_t here) noexcept {
  if (t_floor == UINTPTR_MAX) {
    const StackBounds& b = bounds();
    t_floor = b.known ? b.low + reserve_for(b.size) : 0;
  }
  return here < t_floor;
}

void raise_exhausted(const char* where) {
  raise(PyExc_RecursionError, std::string("maximum recursion depth exceeded ") + where);
}
}  // namespace stack_detail

void set_stack_error(const StackExhausted& exhausted) {
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded %s", exhausted.where);
}

}  // namespace morva

// A guard against running out of C stack in re-entrant calls. Python's recursion limit counts
// Python frames only, and a program may raise it far beyond what the C stack can hold; paths
// where Python callbacks re-enter native code that recurses again (an executor or condition
// that calls back into the method that called it) check the real stack instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva {

// Bytes of C stack left below the caller on this thread, or SIZE_MAX when unknown.
std::size_t remaining_stack() noexcept;

// Thrown by check_native_stack. Pure C++ code cannot set a Python error, and may run without
// the GIL; the boundary every slot and method goes through raises it as RecursionError.
struct StackExhausted {
  const char* where;
};

namespace stack_detail {
// The lowest frame address a check lets through on this thread: UINTPTR_MAX until the thread's
// first check works it out, 0 when its stack is unknown. Hot paths check on every entry, so it
// is a plain word at a fixed offset from the thread pointer (initial-exec): one load.
extern __thread std::uintptr_t t_floor __attribute__((tls_model("initial-exec")));
// Whether `here` lies below the floor, working the floor out first on a thread's first call.
bool below_floor(std::uintptr_t here) noexcept;
[[noreturn]] void raise_exhausted(const char* where);
}  // namespace stack_detail

// Raises RecursionError "maximum recursion depth exceeded {where}" when less than a safe
// reserve of the thread's stack is left (a quarter of the stack, at most 256 KiB, and at least
// 16 KiB or half of a smaller stack). Every native recursion that Python input can drive deep
// checks at each level.
inline void check_stack(const char* where) {
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < stack_detail::t_floor && stack_detail::below_floor(here)) [[unlikely]] {
    stack_detail::raise_exhausted(where);
  }
}

// The same check for pure C++ code: throws StackExhausted instead.
inline void check_native_stack(const char* where) {
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < stack_detail::t_floor && stack_detail::below_floor(here)) [[unlikely]] {
    throw StackExhausted{where};
  }
}

// Sets the RecursionError that a StackExhausted stands for.
void set_stack_error(const StackExhausted& exhausted);

}  // namespace morva

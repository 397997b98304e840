// A guard against running out of C stack in re-entrant calls. Python's recursion limit counts
// Python frames only, and a program may raise it far beyond what the C stack can hold; paths
// where Python callbacks re-enter native code that recurses again (an executor or condition
// that calls back into the method that called it) check the real stack instead.
#pragma once

#include <cstddef>

namespace morva {

// Bytes of C stack left below the caller on this thread, or SIZE_MAX when unknown.
std::size_t remaining_stack() noexcept;

// Raises RecursionError "maximum recursion depth exceeded {where}" when less than a safe
// reserve of the thread's stack is left (a quarter of the stack, at most 256 KiB).
void check_stack(const char* where);

}  // namespace morva

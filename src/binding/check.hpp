// Invariant checks for the debug build: MORVA_CHECK(cond) aborts with the failed condition and
// its place when the module is built with MORVA_DEBUG_CHECKS (make asan, the native tests) and
// compiles to nothing in a release build, so a check may be as thorough as it needs to be.
#pragma once

#if MORVA_DEBUG_CHECKS
#include <cstdio>
#include <cstdlib>

namespace morva::detail {
[[noreturn]] inline void check_failed(const char* cond, const char* file, int line) {
    std::fprintf(stderr, "morva_core: invariant failed: %s (%s:%d)\n", cond, file, line);
    std::fflush(stderr);
    std::abort();
}
}  // namespace morva::detail

#define MORVA_CHECK(cond) \
    ((cond) ? (void)0 : ::morva::detail::check_failed(#cond, __FILE__, __LINE__))
#define MORVA_DEBUG_ONLY(...) __VA_ARGS__
#else
#define MORVA_CHECK(cond) ((void)0)
#define MORVA_DEBUG_ONLY(...)
#endif

// NX_ASSERT(condition): an invariant of the code, checked in the checked
// builds (the sanitized, fuzzing and debug builds define NX_CHECKED) and
// compiled out of release builds, where the condition is not evaluated.
//
// A failed check prints the condition and its place to standard error and
// aborts the process: it is a fault of this code, never of the caller's
// input, which gets an exception instead. State a precondition where a
// function begins and the comment that explains it stays next to it:
//
//     // o needs room for n - p more characters.
//     NX_ASSERT(o_room >= n - p);
#pragma once

#ifdef NX_CHECKED
#include <cstdio>
#include <cstdlib>

namespace nx {
[[noreturn]] inline void assertion_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
    std::abort();
}
}  // namespace nx

#define NX_ASSERT(condition) \
    ((condition) ? (void)0 : ::nx::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define NX_ASSERT(condition) ((void)sizeof(!(condition)))
#endif

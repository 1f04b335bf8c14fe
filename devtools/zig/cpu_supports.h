/* Force-included into the wheel builds by devtools/wheel.py's zig toolchain.

   zig's compiler runtime has no __cpu_model, the table that
   __builtin_cpu_supports reads (libgcc has it), so a module that asks the
   processor's features that way is left with an unresolved symbol that lld
   refuses in position-independent code. Here the question the sources ask
   (AVX2) is answered from cpuid and xgetbv instead: the processor has AVX2 and
   the system saves the YMM registers. Any other feature name is a build error. */
#pragma once
#if defined(__x86_64__)
#include <cpuid.h>

static inline int nx_zig_cpu_has_avx2(void) {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return 0;
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    (void)hi;
    if ((lo & 6) != 6) return 0; /* XMM and YMM state enabled by the system */
    if (__get_cpuid_max(0, 0) < 7) return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
}

namespace nx_zig {
constexpr bool is_avx2(const char* s) {
    return s[0] == 'a' && s[1] == 'v' && s[2] == 'x' && s[3] == '2' && s[4] == 0;
}
template <bool> struct OnlyAvx2;
template <> struct OnlyAvx2<true> {};
}  // namespace nx_zig

#define __builtin_cpu_supports(feature) \
    (static_cast<void>(sizeof(nx_zig::OnlyAvx2<nx_zig::is_avx2(feature)>)), nx_zig_cpu_has_avx2())
#define __builtin_cpu_init() static_cast<void>(0)
#endif

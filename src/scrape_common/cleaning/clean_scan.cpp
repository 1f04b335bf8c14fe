// The one place that chooses the scanning kernels of the text cleaner: the
// baseline set is fixed when the module is built (SSE2 on x86-64, NEON on
// aarch64, plain loops elsewhere and in the scalar build), and on x86-64 the
// AVX2 set replaces it when the module loads on a processor that has AVX2.
#include <cstdlib>

#include "clean_scan.h"

namespace scrape::cleaning::scan {

namespace {

const Kernels& baseline() {
    if (const Kernels* k = sse2()) return *k;
    if (const Kernels* k = neon()) return *k;
    return scalar();
}

}  // namespace

const Kernels& chosen() {
#if defined(__x86_64__) || defined(__i386__)
    if (const Kernels* k = avx2()) {
        __builtin_cpu_init();
        const char* no_avx2 = std::getenv("NEXRA_NO_AVX2");
        if (__builtin_cpu_supports("avx2") && !(no_avx2 && *no_avx2)) return *k;
    }
#endif
    return baseline();
}

}  // namespace scrape::cleaning::scan

// Scanning kernels of the text cleaner, AVX2. This file alone is built with
// AVX2 enabled; the cleaner uses these kernels only where the processor has it.
#include "clean_scan.h"

#include "../../capi/invariant.h"

#include <cstring>

#if defined(__AVX2__) && !defined(NX_SCALAR)
#include <immintrin.h>

namespace scrape::cleaning::scan {
namespace {

struct Avx2 {
    using reg = __m256i;
    static constexpr std::size_t bytes = 32;
    static reg load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static void store(void* p, reg v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    static reg zero() { return _mm256_setzero_si256(); }
    template <class C>
    static reg set1(std::uint32_t c) {
        if constexpr (sizeof(C) == 1) return _mm256_set1_epi8((char)c);
        if constexpr (sizeof(C) == 2) return _mm256_set1_epi16((short)c);
        return _mm256_set1_epi32((int)c);
    }
    template <class C>
    static reg eq(reg a, reg b) {
        if constexpr (sizeof(C) == 1) return _mm256_cmpeq_epi8(a, b);
        if constexpr (sizeof(C) == 2) return _mm256_cmpeq_epi16(a, b);
        return _mm256_cmpeq_epi32(a, b);
    }
    static reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
    static reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
    static reg xor_(reg a, reg b) { return _mm256_xor_si256(a, b); }
    static unsigned mask(reg m) { return (unsigned)_mm256_movemask_epi8(m); }
    static reg gt32(reg a, reg b) { return _mm256_cmpgt_epi32(a, b); }
    static reg narrow(reg a, reg b) {
        return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
    }
    static const Kernels* narrower() { return sse2(); }
};

#include "clean_scan_impl.h"

const Kernels kAvx2 = kernels<Avx2>("avx2");

}  // namespace

const Kernels* avx2() { return &kAvx2; }

}  // namespace scrape::cleaning::scan

#else

namespace scrape::cleaning::scan {
const Kernels* avx2() { return nullptr; }
}  // namespace scrape::cleaning::scan

#endif

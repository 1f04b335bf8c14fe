// Scanning kernels of the text cleaner, SSE2 (the x86-64 baseline); plain
// loops on processors without it.
#include "clean_scan.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace clean_text {
namespace scan {
namespace {

#if defined(__SSE2__)
struct Sse2 {
    using reg = __m128i;
    static constexpr std::size_t bytes = 16;
    static reg load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void store(void* p, reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    static reg zero() { return _mm_setzero_si128(); }
    template <class C>
    static reg set1(std::uint32_t c) {
        if constexpr (sizeof(C) == 1) return _mm_set1_epi8((char)c);
        if constexpr (sizeof(C) == 2) return _mm_set1_epi16((short)c);
        return _mm_set1_epi32((int)c);
    }
    template <class C>
    static reg eq(reg a, reg b) {
        if constexpr (sizeof(C) == 1) return _mm_cmpeq_epi8(a, b);
        if constexpr (sizeof(C) == 2) return _mm_cmpeq_epi16(a, b);
        return _mm_cmpeq_epi32(a, b);
    }
    static reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
    static reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
    static reg xor_(reg a, reg b) { return _mm_xor_si128(a, b); }
    static unsigned mask(reg m) { return (unsigned)_mm_movemask_epi8(m); }
    static reg gt32(reg a, reg b) { return _mm_cmpgt_epi32(a, b); }
    // Shifted down by 0x8000 the lanes fit the signed pack, and shifting back
    // restores them.
    static reg narrow(reg a, reg b) {
        const __m128i bias32 = _mm_set1_epi32(0x8000);
        const __m128i x = _mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32));
        return _mm_xor_si128(x, _mm_set1_epi16((short)0x8000));
    }
    static const Kernels* narrower() { return nullptr; }
};
using Vec = Sse2;
#else
// One character at a time.
// No vectors: the kernels run their character loops only.
struct Plain {
    using reg = std::uint32_t;
    static constexpr std::size_t bytes = 0;
    static reg load(const void*) { return 0; }
    static void store(void*, reg) {}
    static reg zero() { return 0; }
    template <class C>
    static reg set1(std::uint32_t c) { return c; }
    template <class C>
    static reg eq(reg a, reg b) { return a == b; }
    static reg or_(reg a, reg b) { return a | b; }
    static reg and_(reg a, reg b) { return a & b; }
    static reg xor_(reg a, reg b) { return a ^ b; }
    static unsigned mask(reg m) { return m; }
    static reg gt32(reg a, reg b) { return a > b; }
    static reg narrow(reg a, reg) { return a; }
    static const Kernels* narrower() { return nullptr; }
};
using Vec = Plain;
#endif

#include "clean_scan_impl.h"

const Kernels kBaseline = kernels<Vec>("sse2");

}  // namespace

const Kernels& baseline() { return kBaseline; }

}  // namespace scan
}  // namespace clean_text

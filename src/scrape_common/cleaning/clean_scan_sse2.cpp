// Scanning kernels of the text cleaner, SSE2 (the x86-64 baseline).
#include "clean_scan.h"

#include <cstring>

#if defined(__SSE2__) && !defined(NX_SCALAR)
#include <emmintrin.h>

namespace clean_text {
namespace scan {
namespace {

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

#include "clean_scan_impl.h"

const Kernels kSse2 = kernels<Sse2>("sse2");

}  // namespace

const Kernels* sse2() { return &kSse2; }

}  // namespace scan
}  // namespace clean_text

#else

namespace clean_text {
namespace scan {
const Kernels* sse2() { return nullptr; }
}  // namespace scan
}  // namespace clean_text

#endif

// The 128-bit vector operations of vec128.h, SSE2 (the x86-64 baseline).
// Included through vec128.h only.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace scrape {
namespace simd {

using reg = __m128i;

inline reg load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline reg load64(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
inline reg from64(std::uint64_t lo, std::uint64_t hi) {
    return _mm_set_epi64x((long long)hi, (long long)lo);
}
inline reg zero() { return _mm_setzero_si128(); }
inline reg set8(std::uint32_t c) { return _mm_set1_epi8((char)c); }
inline reg set16(std::uint32_t c) { return _mm_set1_epi16((short)c); }
inline reg set32(std::uint32_t c) { return _mm_set1_epi32((int)c); }

inline reg eq8(reg a, reg b) { return _mm_cmpeq_epi8(a, b); }
inline reg eq16(reg a, reg b) { return _mm_cmpeq_epi16(a, b); }
inline reg eq32(reg a, reg b) { return _mm_cmpeq_epi32(a, b); }
inline reg lt_s8(reg a, reg b) { return _mm_cmplt_epi8(a, b); }
inline reg gt_s16(reg a, reg b) { return _mm_cmpgt_epi16(a, b); }
inline reg lt_s32(reg a, reg b) { return _mm_cmplt_epi32(a, b); }
inline reg gt_s32(reg a, reg b) { return _mm_cmpgt_epi32(a, b); }

inline reg sub16(reg a, reg b) { return _mm_sub_epi16(a, b); }
inline reg sub32(reg a, reg b) { return _mm_sub_epi32(a, b); }
inline reg subs_u8(reg a, reg b) { return _mm_subs_epu8(a, b); }
inline reg subs_u16(reg a, reg b) { return _mm_subs_epu16(a, b); }
inline reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
inline reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
inline reg xor_(reg a, reg b) { return _mm_xor_si128(a, b); }

inline reg pack_s32(reg a, reg b) { return _mm_packs_epi32(a, b); }
inline reg pack_s16(reg a, reg b) { return _mm_packs_epi16(a, b); }
inline reg pack_us16(reg a, reg b) { return _mm_packus_epi16(a, b); }
inline reg zip_lo8(reg a, reg b) { return _mm_unpacklo_epi8(a, b); }
inline reg zip_hi8(reg a, reg b) { return _mm_unpackhi_epi8(a, b); }
inline reg zip_lo16(reg a, reg b) { return _mm_unpacklo_epi16(a, b); }
inline reg zip_hi16(reg a, reg b) { return _mm_unpackhi_epi16(a, b); }
template <int N>
inline reg shl_bytes(reg a) {
    return _mm_slli_si128(a, N);
}
template <int N>
inline reg shr_bytes(reg a) {
    return _mm_srli_si128(a, N);
}

inline unsigned mask(reg m) { return (unsigned)_mm_movemask_epi8(m); }
inline unsigned mask32(reg m) { return (unsigned)_mm_movemask_ps(_mm_castsi128_ps(m)); }
inline std::uint32_t or_lanes32(reg v) {
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return (std::uint32_t)_mm_cvtsi128_si32(v);
}

}  // namespace simd
}  // namespace scrape

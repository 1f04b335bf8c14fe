// The 128-bit vector operations of vec128.h, NEON (the aarch64 baseline).
// Included through vec128.h only. Each gives exactly what its SSE2 twin in
// vec128_sse2.h gives, lane for lane; NEON has no movemask, so mask() gathers
// the top bits with per-lane weights and two horizontal adds.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace scrape {
namespace simd {

using reg = uint8x16_t;

namespace detail {
inline int16x8_t s16(reg a) { return vreinterpretq_s16_u8(a); }
inline int32x4_t s32(reg a) { return vreinterpretq_s32_u8(a); }
inline uint16x8_t u16(reg a) { return vreinterpretq_u16_u8(a); }
inline uint32x4_t u32(reg a) { return vreinterpretq_u32_u8(a); }
}  // namespace detail

inline reg load(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
inline void store(void* p, reg v) { vst1q_u8(static_cast<std::uint8_t*>(p), v); }
inline reg load64(const void* p) {
    return vcombine_u8(vld1_u8(static_cast<const std::uint8_t*>(p)), vdup_n_u8(0));
}
inline reg from64(std::uint64_t lo, std::uint64_t hi) {
    return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(lo), vcreate_u64(hi)));
}
inline reg zero() { return vdupq_n_u8(0); }
inline reg set8(std::uint32_t c) { return vdupq_n_u8((std::uint8_t)c); }
inline reg set16(std::uint32_t c) { return vreinterpretq_u8_u16(vdupq_n_u16((std::uint16_t)c)); }
inline reg set32(std::uint32_t c) { return vreinterpretq_u8_u32(vdupq_n_u32(c)); }

inline reg eq8(reg a, reg b) { return vceqq_u8(a, b); }
inline reg eq16(reg a, reg b) {
    return vreinterpretq_u8_u16(vceqq_u16(detail::u16(a), detail::u16(b)));
}
inline reg eq32(reg a, reg b) {
    return vreinterpretq_u8_u32(vceqq_u32(detail::u32(a), detail::u32(b)));
}
inline reg lt_s8(reg a, reg b) { return vcltq_s8(vreinterpretq_s8_u8(a), vreinterpretq_s8_u8(b)); }
inline reg gt_s16(reg a, reg b) {
    return vreinterpretq_u8_u16(vcgtq_s16(detail::s16(a), detail::s16(b)));
}
inline reg lt_s32(reg a, reg b) {
    return vreinterpretq_u8_u32(vcltq_s32(detail::s32(a), detail::s32(b)));
}
inline reg gt_s32(reg a, reg b) {
    return vreinterpretq_u8_u32(vcgtq_s32(detail::s32(a), detail::s32(b)));
}

inline reg sub16(reg a, reg b) {
    return vreinterpretq_u8_u16(vsubq_u16(detail::u16(a), detail::u16(b)));
}
inline reg sub32(reg a, reg b) {
    return vreinterpretq_u8_u32(vsubq_u32(detail::u32(a), detail::u32(b)));
}
inline reg subs_u8(reg a, reg b) { return vqsubq_u8(a, b); }
inline reg subs_u16(reg a, reg b) {
    return vreinterpretq_u8_u16(vqsubq_u16(detail::u16(a), detail::u16(b)));
}
inline reg or_(reg a, reg b) { return vorrq_u8(a, b); }
inline reg and_(reg a, reg b) { return vandq_u8(a, b); }
inline reg xor_(reg a, reg b) { return veorq_u8(a, b); }

inline reg pack_s32(reg a, reg b) {
    return vreinterpretq_u8_s16(
        vcombine_s16(vqmovn_s32(detail::s32(a)), vqmovn_s32(detail::s32(b))));
}
inline reg pack_s16(reg a, reg b) {
    return vreinterpretq_u8_s8(vcombine_s8(vqmovn_s16(detail::s16(a)), vqmovn_s16(detail::s16(b))));
}
inline reg pack_us16(reg a, reg b) {
    return vcombine_u8(vqmovun_s16(detail::s16(a)), vqmovun_s16(detail::s16(b)));
}
inline reg zip_lo8(reg a, reg b) { return vzip1q_u8(a, b); }
inline reg zip_hi8(reg a, reg b) { return vzip2q_u8(a, b); }
inline reg zip_lo16(reg a, reg b) {
    return vreinterpretq_u8_u16(vzip1q_u16(detail::u16(a), detail::u16(b)));
}
inline reg zip_hi16(reg a, reg b) {
    return vreinterpretq_u8_u16(vzip2q_u16(detail::u16(a), detail::u16(b)));
}
template <int N>
inline reg shl_bytes(reg a) {
    static_assert(N >= 0 && N < 16, "a shift within the vector");
    if constexpr (N == 0)
        return a;
    else
        return vextq_u8(vdupq_n_u8(0), a, 16 - N);
}
template <int N>
inline reg shr_bytes(reg a) {
    static_assert(N >= 0 && N < 16, "a shift within the vector");
    return vextq_u8(a, vdupq_n_u8(0), N);
}

inline unsigned mask(reg m) {
    static const std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                             1, 2, 4, 8, 16, 32, 64, 128};
    const reg top = vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(m), 7));
    const reg t = vandq_u8(top, vld1q_u8(weights));
    return (unsigned)vaddv_u8(vget_low_u8(t)) | ((unsigned)vaddv_u8(vget_high_u8(t)) << 8);
}
inline unsigned mask32(reg m) {
    static const std::uint32_t weights[4] = {1, 2, 4, 8};
    const uint32x4_t top = vshrq_n_u32(detail::u32(m), 31);
    return (unsigned)vaddvq_u32(vmulq_u32(top, vld1q_u32(weights)));
}
inline std::uint32_t or_lanes32(reg v) {
    const uint32x4_t x = detail::u32(v);
    const uint32x2_t h = vorr_u32(vget_low_u32(x), vget_high_u32(x));
    return vget_lane_u32(h, 0) | vget_lane_u32(h, 1);
}

}  // namespace simd
}  // namespace scrape

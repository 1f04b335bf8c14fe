// Scanning kernels of the text cleaner, NEON (the aarch64 baseline). NEON has
// no movemask: the kernels take vec::mask, which gives the same bit per byte.
#include "clean_scan.h"

#include <cstring>

#if defined(__aarch64__) && defined(__ARM_NEON) && !defined(NX_SCALAR)
#include "../simd/vec128.h"

namespace clean_text {
namespace scan {
namespace {

struct Neon {
    using reg = vec::reg;
    static constexpr std::size_t bytes = 16;
    static reg load(const void* p) { return vec::load(p); }
    static void store(void* p, reg v) { vec::store(p, v); }
    static reg zero() { return vec::zero(); }
    template <class C>
    static reg set1(std::uint32_t c) {
        if constexpr (sizeof(C) == 1) return vec::set8(c);
        if constexpr (sizeof(C) == 2) return vec::set16(c);
        return vec::set32(c);
    }
    template <class C>
    static reg eq(reg a, reg b) {
        if constexpr (sizeof(C) == 1) return vec::eq8(a, b);
        if constexpr (sizeof(C) == 2) return vec::eq16(a, b);
        return vec::eq32(a, b);
    }
    static reg or_(reg a, reg b) { return vec::or_(a, b); }
    static reg and_(reg a, reg b) { return vec::and_(a, b); }
    static reg xor_(reg a, reg b) { return vec::xor_(a, b); }
    static unsigned mask(reg m) { return vec::mask(m); }
    static reg gt32(reg a, reg b) { return vec::gt_s32(a, b); }
    // The lanes are below U+D800 here: the unsigned saturating narrowing
    // keeps them as they are.
    static reg narrow(reg a, reg b) {
        return vreinterpretq_u8_u16(vcombine_u16(vqmovun_s32(vreinterpretq_s32_u8(a)),
                                                 vqmovun_s32(vreinterpretq_s32_u8(b))));
    }
    static const Kernels* narrower() { return nullptr; }
};

#include "clean_scan_impl.h"

const Kernels kNeon = kernels<Neon>("neon");

}  // namespace

const Kernels* neon() { return &kNeon; }

}  // namespace scan
}  // namespace clean_text

#else

namespace clean_text {
namespace scan {
const Kernels* neon() { return nullptr; }
}  // namespace scan
}  // namespace clean_text

#endif

// Scanning kernels of the text cleaner, NEON (the aarch64 baseline). NEON has
// no movemask: the kernels take simd::mask, which gives the same bit per byte.
#include "clean_scan.h"

#include "../../capi/invariant.h"

#include <cstring>

#if defined(__aarch64__) && defined(__ARM_NEON) && !defined(NX_SCALAR)
#include "../simd/vec128.h"

namespace scrape::cleaning::scan {
namespace {

#include "clean_scan_impl.h"

struct Neon : Vec128Lanes {
    // The lanes are below U+D800 here: the unsigned saturating narrowing
    // keeps them as they are.
    static reg narrow(reg a, reg b) {
        return vreinterpretq_u8_u16(vcombine_u16(vqmovun_s32(vreinterpretq_s32_u8(a)),
                                                 vqmovun_s32(vreinterpretq_s32_u8(b))));
    }
    static const Kernels* narrower() { return nullptr; }
};

const Kernels kNeon = kernels<Neon>("neon");

}  // namespace

const Kernels* neon() { return &kNeon; }

}  // namespace scrape::cleaning::scan

#else

namespace scrape::cleaning::scan {
const Kernels* neon() { return nullptr; }
}  // namespace scrape::cleaning::scan

#endif

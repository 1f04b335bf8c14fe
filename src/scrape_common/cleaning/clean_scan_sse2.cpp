// Scanning kernels of the text cleaner, SSE2 (the x86-64 baseline).
#include "clean_scan.h"

#include "../../capi/invariant.h"

#include <cstring>

#if defined(__SSE2__) && !defined(NX_SCALAR)
#include "../simd/vec128.h"

namespace scrape::cleaning::scan {
namespace {

#include "clean_scan_impl.h"

struct Sse2 : Vec128Lanes {
    // Shifted down by 0x8000 the lanes fit the signed pack, and shifting back
    // restores them.
    static reg narrow(reg a, reg b) {
        const reg bias32 = simd::set32(0x8000);
        return simd::xor_(simd::pack_s32(simd::sub32(a, bias32), simd::sub32(b, bias32)),
                          simd::set16(0x8000));
    }
    static const Kernels* narrower() { return nullptr; }
};

const Kernels kSse2 = kernels<Sse2>("sse2");

}  // namespace

const Kernels* sse2() { return &kSse2; }

}  // namespace scrape::cleaning::scan

#else

namespace scrape::cleaning::scan {
const Kernels* sse2() { return nullptr; }
}  // namespace scrape::cleaning::scan

#endif

// Scanning kernels of the text cleaner, plain loops: the scalar twin of the
// vector sets, built for every target (the only one in the scalar build).
#include "clean_scan.h"

#include "../../capi/invariant.h"

#include <cstring>

namespace scrape::cleaning::scan {
namespace {

// No vectors (bytes 0): the kernels run their character loops only.
struct Plain {
    using reg = std::uint32_t;
    static constexpr std::size_t bytes = 0;
    static reg load(const void*) { return 0; }
    static void store(void*, reg) {}
    static reg zero() { return 0; }
    template <class C>
    static reg set1(std::uint32_t c) {
        return c;
    }
    template <class C>
    static reg eq(reg a, reg b) {
        return a == b;
    }
    static reg or_(reg a, reg b) { return a | b; }
    static reg and_(reg a, reg b) { return a & b; }
    static reg xor_(reg a, reg b) { return a ^ b; }
    static unsigned mask(reg m) { return m; }
    static reg gt32(reg a, reg b) { return a > b; }
    static reg narrow(reg a, reg) { return a; }
    static const Kernels* narrower() { return nullptr; }
};

#include "clean_scan_impl.h"

const Kernels kScalar = kernels<Plain>("scalar");

}  // namespace

const Kernels& scalar() { return kScalar; }

}  // namespace scrape::cleaning::scan

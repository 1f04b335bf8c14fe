// Scanning kernels of the text cleaner: searches over the text in its own
// storage width (1, 2 or 4 bytes per character). There is one set per
// instruction-set level, each built in a file of its own and written once
// through clean_scan_impl.h: clean_scan_scalar.cpp (plain loops, every
// target), clean_scan_sse2.cpp (the x86-64 baseline), clean_scan_avx2.cpp
// (built with AVX2 enabled for that file only) and clean_scan_neon.cpp (the
// aarch64 baseline). clean_scan.cpp picks one set, once, when the module loads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scrape {
namespace cleaning {
namespace scan {

// Up to six characters looked for at once.
struct Needles {
    std::uint32_t c[6];
    int k;
};

// What a text holds, as far as the stages need to know.
constexpr unsigned kAmp = 1;          // "&"
constexpr unsigned kLt = 2;           // "<"
constexpr unsigned kStar = 4;         // "*"
constexpr unsigned kControls = 8;     // "\r", "\n", "\t" or U+0099
constexpr unsigned kSurrogates = 16;  // a code point in U+D800..U+DFFF

// The state of copy_controls, carried from one call to the next.
struct Controls {
    std::size_t w;       // characters written
    bool run;            // the last one written is the space of a run of controls
    bool changed;        // a control or U+0099 was met
    unsigned flags = 0;  // the survey bits of what was read (as UTF-16 by narrow_controls)
};

template <class C>
struct Ops {
    // First index >= p holding a character of `set`, or n.
    std::size_t (*find_any)(const C* s, std::size_t p, std::size_t n, const Needles& set);
    // First index i >= p with s[i] in `first` and s[i + 1] in `second`, or n. With
    // an output o, also copies s[p..i) (s[p..n) when there is none) to
    // o[0..]; whole blocks are stored, so o needs room for the characters up
    // to n.
    std::size_t (*find_pair)(const C* s, std::size_t p, std::size_t n, const Needles& first,
                             const Needles& second, C* o);
    // The bits above for s[0..n).
    unsigned (*survey)(const C* s, std::size_t n);
    // Copies s[p..) to o[st->w..] with U+0099 deleted and each run of "\r",
    // "\n" and "\t" written as one " ", up to the next "&" (returned) or n.
    // o must not overlap s, and needs room for n - p more characters.
    std::size_t (*copy_controls)(const C* s, std::size_t p, std::size_t n, C* o, Controls* st);
};

constexpr std::size_t kNotUtf16 = static_cast<std::size_t>(-1);

struct Kernels {
    const char* name;
    Ops<std::uint8_t> b1;
    Ops<std::uint16_t> b2;
    Ops<std::uint32_t> b4;
    // copy_controls from 4-byte text to UTF-16 (characters beyond U+FFFF as
    // surrogate pairs), adding the survey bits of the UTF-16 to st->flags;
    // kNotUtf16 at a surrogate code point, which UTF-16 cannot carry.
    std::size_t (*narrow_controls)(const std::uint32_t* s, std::size_t p, std::size_t n,
                                   std::uint16_t* o, Controls* st);
};

// The kernels of a set for characters of type C.
template <class C>
const Ops<C>& ops_of(const Kernels& k) {
    if constexpr (sizeof(C) == 1)
        return k.b1;
    else if constexpr (sizeof(C) == 2)
        return k.b2;
    else
        return k.b4;
}

// Each set, or nullptr where it is not built (the scalar build, NX_SCALAR,
// builds the plain loops alone).
const Kernels& scalar();
const Kernels* sse2();
const Kernels* avx2();
const Kernels* neon();

// The set in use: AVX2 where the processor has it (unless NEXRA_NO_AVX2 is
// set), else the baseline of the target the module was built for.
const Kernels& chosen();

}  // namespace scan
}  // namespace cleaning
}  // namespace scrape

// What the stages of the text cleaner share (clean_text.cpp, unescape.cpp,
// nfkd.cpp): the character classes, the scanning kernels in use, the search
// for one of a few characters, and the buffer the stages write.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "../simd/vec128.h"
#include "clean_scan.h"

namespace scrape {
namespace cleaning {

using scan::Needles;
using U = Py_UCS4;

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// The \s class of `re` and the white space of str.strip().
inline bool is_space(U c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || c >= 0x1C;
    // Between U+0085 and U+167F only U+0085 and U+00A0 are white space.
    return c == 0x85 || c == 0xA0 || (c >= 0x1680 && Py_UNICODE_ISSPACE(c));
}
inline bool is_digit(U c) { return c >= '0' && c <= '9'; }
inline bool is_lower_alnum(U c) { return is_digit(c) || (c >= 'a' && c <= 'z'); }
inline bool is_lower_hex(U c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
inline int hex_value(U c) {
    if (is_digit(c)) return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}

// The scanning kernels for this processor, chosen once, when the module loads
// (clean_text.cpp).
extern const scan::Kernels& chosen_kernels;

template <class C>
const scan::Ops<C>& ops() {
    return scan::ops_of<C>(chosen_kernels);
}

// First index >= p of a character in `set`, or n.
template <class C>
inline std::size_t find_any(const C* s, std::size_t p, std::size_t n, const Needles& set) {
    return ops<C>().find_any(s, p, n, set);
}

// A buffer of characters of any width, without initialisation cost.
struct Buf {
    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<void, Free> p;
    std::size_t cap = 0;   // bytes
    std::size_t used = 0;  // the most bytes asked for since the last trim()
    std::size_t idle = 0;  // bytes asked for by calls since one needed a quarter of cap
    template <class C>
    C* as() const {
        return static_cast<C*>(p.get());
    }
    // Room for `bytes`; the contents are not kept.
    void reserve(std::size_t bytes) {
        used = std::max(used, bytes);
        if (bytes <= cap) return;
        p.reset();
        cap = 0;
        void* q = std::malloc(bytes);
        if (!q) throw std::bad_alloc();
        p.reset(q);
        cap = bytes;
    }
    void release() {
        p.reset();
        cap = 0;
        idle = 0;
    }
    // After a call: a large buffer is kept for the next large call (a fresh
    // one costs a page fault per 4 KB, and faults of two threads queue on the
    // process's memory map), unless it is very large, or smaller calls have
    // since asked for four times its size in all: by then faulting it in
    // again costs little beside the work done meanwhile.
    void trim(std::size_t keep_small, std::size_t keep_max) {
        if (used >= cap / 4)
            idle = 0;
        else
            idle += used;
        if (cap > keep_small && (cap > keep_max || idle / 4 > cap)) release();
        used = 0;
    }
    // Room for `places` characters of type C (growing by half at least),
    // keeping the first `keep`; returns where they are.
    template <class C>
    C* at_least(std::size_t places, std::size_t keep) {
        if (places * sizeof(C) > cap)
            grow(std::max(places * sizeof(C), cap + cap / 2), keep * sizeof(C));
        return as<C>();
    }
    // Room for `bytes`, keeping the first `keep`.
    void grow(std::size_t bytes, std::size_t keep) {
        used = std::max(used, bytes);
        if (bytes <= cap) return;
        void* q = std::realloc(p.get(), bytes);
        if (!q) throw std::bad_alloc();
        (void)p.release();
        p.reset(q);
        cap = bytes;
        (void)keep;
    }
};

constexpr Needles kAmpChar = {{'&'}, 1};

// First index >= p holding a character of the class (ASCII or not), or n.
inline std::size_t find_ascii_class(const U* s, std::size_t p, std::size_t n, bool ascii) {
#if NX_VEC128
    const simd::reg limit = simd::set32(0x7F);
    const unsigned want = ascii ? 0xFu : 0u;
    for (; p + 4 <= n; p += 4) {
        simd::reg x = simd::load(s + p);
        const unsigned big = simd::mask32(simd::gt_s32(x, limit));
        const unsigned hit = big ^ want;  // bit set where the class is the one looked for
        if (hit) return p + (std::size_t)__builtin_ctz(hit);
    }
#endif
    for (; p < n; ++p)
        if ((s[p] < 0x80) == ascii) return p;
    return n;
}

}  // namespace cleaning
}  // namespace scrape

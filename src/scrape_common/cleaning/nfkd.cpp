// NFKD by the built-in tables: see nfkd.h.
#include "nfkd.h"

#include <utility>

#include "../../capi/pystr.h"
#include "clean_text.h"

namespace scrape {
namespace cleaning {
namespace {

// Widens the ASCII characters at the start of s[0..n) to o[0..], whole
// blocks at a time (o needs room for n); returns how many there are, but
// *w advances by that many only.
template <class C>
inline std::size_t copy_ascii([[maybe_unused]] const C* s, [[maybe_unused]] std::size_t n,
                              [[maybe_unused]] U* o, std::size_t* w) {
    std::size_t i = 0;
#if NX_VEC128
    const simd::reg zero = simd::zero();
    if constexpr (sizeof(C) == 4) {
        const simd::reg limit = simd::set32(0x7F);
        for (; i + 4 <= n; i += 4) {
            const simd::reg x = simd::load(s + i);
            simd::store(o + i, x);
            const unsigned big = simd::mask32(simd::gt_s32(x, limit));
            if (big) {
                i += (std::size_t)__builtin_ctz(big);
                break;
            }
        }
    } else if constexpr (sizeof(C) == 2) {
        for (; i + 8 <= n; i += 8) {
            const simd::reg x = simd::load(s + i);
            simd::reg* d = reinterpret_cast<simd::reg*>(o + i);
            simd::store(d, simd::zip_lo16(x, zero));
            simd::store(d + 1, simd::zip_hi16(x, zero));
            // Lanes above U+007F: x - 0x7F does not saturate to 0.
            const unsigned big = ~(unsigned)simd::mask(
                                     simd::eq16(simd::subs_u16(x, simd::set16(0x7F)), zero)) &
                                 0xFFFF;
            if (big) {
                i += (std::size_t)__builtin_ctz(big) / 2;
                break;
            }
        }
    } else {
        for (; i + 16 <= n; i += 16) {
            const simd::reg x = simd::load(s + i);
            const simd::reg lo = simd::zip_lo8(x, zero), hi = simd::zip_hi8(x, zero);
            simd::reg* d = reinterpret_cast<simd::reg*>(o + i);
            simd::store(d, simd::zip_lo16(lo, zero));
            simd::store(d + 1, simd::zip_hi16(lo, zero));
            simd::store(d + 2, simd::zip_lo16(hi, zero));
            simd::store(d + 3, simd::zip_hi16(hi, zero));
            if (const unsigned big = (unsigned)simd::mask(x)) {
                i += (std::size_t)__builtin_ctz(big);
                break;
            }
        }
    }
#endif
    *w += i;
    return i;
}

// The same to UTF-16, from 1-byte text or UTF-16.
template <class C>
inline std::size_t copy_ascii([[maybe_unused]] const C* s, [[maybe_unused]] std::size_t n,
                              [[maybe_unused]] std::uint16_t* o, std::size_t* w) {
    static_assert(sizeof(C) < 4, "4-byte text is written as code points");
    std::size_t i = 0;
#if NX_VEC128
    for (; i + 16 <= n; i += 16) {
        const simd::reg x = simd::load(s + i);
        simd::reg* d = reinterpret_cast<simd::reg*>(o + i);
        unsigned big;
        if constexpr (sizeof(C) == 1) {
            const simd::reg zero = simd::zero();
            simd::store(d, simd::zip_lo8(x, zero));
            simd::store(d + 1, simd::zip_hi8(x, zero));
            big = (unsigned)simd::mask(x);
        } else {
            const simd::reg y = simd::load(s + i + 8);
            simd::store(d, x);
            simd::store(d + 1, y);
            // Lanes above U+007F: a high bit among bits 7..15.
            const simd::reg hi = simd::set16(0xFF80);
            const simd::reg zero = simd::zero();
            big = ~(unsigned)simd::mask(simd::pack_s16(simd::eq16(simd::and_(x, hi), zero),
                                                       simd::eq16(simd::and_(y, hi), zero))) &
                  0xFFFF;
        }
        if (big) {
            i += (std::size_t)__builtin_ctz(big);
            break;
        }
    }
#endif
    *w += i;
    return i;
}

}  // namespace

const Latin1Nfkd& latin1_nfkd() {
    static const Latin1Nfkd table = [] {
        Latin1Nfkd t{};
        for (U c = 0x80; c <= 0xFF; ++c) {
            Latin1Nfkd::Entry& x = t.e[c - 0x80];
            const std::uint32_t e = nfkd_entry(c);
            const std::uint32_t entry = e ? clean_tables::kNfkdEntries[e - 1] : 0;
            const std::uint32_t len = e ? entry & 31 : 1;
            if (len > 4) {
                t.usable = false;
                break;
            }
            int last = 0;
            for (std::uint32_t k = 0; k < len; ++k) {
                const U d = e ? clean_tables::kNfkdPool[(entry >> 5) + k] : c;
                const int cc = combining_class(d);
                if (d > 0xFFFF || (k == 0 && cc != 0) || (cc != 0 && last > cc)) t.usable = false;
                x.d[k] = (std::uint16_t)d;
                x.bits |= d;
                last = cc;
            }
            x.len = (std::uint8_t)len;
            x.last_class = (std::uint8_t)last;
            x.decomposes = e != 0;
        }
        return t;
    }();
    return table;
}

namespace {

// Sorts each run of non-zero classes of o[0, w) by class, stably (a
// character moves back past those of a higher class); true when anything moved.
bool put_in_canonical_order(U* o, std::size_t w) {
    bool moved = false;
    int prev = combining_class(o[0]);
    for (std::size_t i = 1; i < w; ++i) {
        if (o[i] < 0x80) {  // class 0: skip to the next non-ASCII character
            i = find_ascii_class(o, i, w, false);
            if (i >= w) break;
            prev = 0;
        }
        int cur = combining_class(o[i]);
        if (prev == 0 || cur == 0 || prev <= cur) {
            prev = cur;
            continue;
        }
        // Out of canonical order: move o[i] back.
        std::size_t k = i - 1;
        while (true) {
            std::swap(o[k + 1], o[k]);
            moved = true;
            if (k == 0) break;
            --k;
            prev = combining_class(o[k]);
            if (prev == 0 || prev <= cur) break;
        }
        prev = combining_class(o[i]);
    }
    return moved;
}

}  // namespace

template <class O, class C>
int nfkd_native(const C* s, std::size_t n, Buf& out, std::size_t* out_len, U* max_bits) {
    constexpr bool bmp = sizeof(O) == 2;
    static_assert(!bmp || sizeof(C) < 4, "4-byte text is written as code points");
    // The text is in canonical order unless a character of non-zero class
    // follows one of a higher class; only then does the reordering run.
    bool changed = false, unordered = false;
    int last = 0;  // the class of the last character written
    auto mark = [&last, &unordered](U c) {
        const int cc = combining_class(c);
        unordered |= cc != 0 && last > cc;
        last = cc;
    };
    U bits = 0x7F;
    std::size_t w = 0;
    out.reserve(n * sizeof(O));
    O* o = out.as<O>();
    const Latin1Nfkd& latin1 = latin1_nfkd();
    for (std::size_t i = 0; i < n; ++i) {
        // Copy ASCII up to the next other character. Blocks are stored
        // whole before looking at them: the room for the characters still
        // to read covers them, and whatever follows the ASCII part of a
        // block is written over.
        const std::size_t from = i;
        i += copy_ascii(s + i, n - i, o + w, &w);
        while (i < n && s[i] < 0x80) o[w++] = s[i++];
        if (i != from) last = 0;
        if (i == n) break;
        U c = s[i];
        if constexpr (sizeof(C) == 2) {
            if (bmp && c - 0xD800u < 0x800u) return kNfkdWider;
            if (c - 0xD800u < 0x400u && i + 1 < n && s[i + 1] - 0xDC00u < 0x400u)
                c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        }
        if (sizeof(C) < 4 && c < 0x100 && latin1.usable) {
            // By the table: each entry starts with a character of class 0
            // and is in order.
            const Latin1Nfkd::Entry& x = latin1.e[c - 0x80];
            o = out.at_least<O>(w + 4 + (n - i - 1), w);
            for (int j = 0; j < 4; ++j) o[w + j] = x.d[j];
            w += x.len;
            bits |= x.bits;
            changed |= x.decomposes;
            last = x.last_class;
            continue;
        }
        if (std::uint32_t e = nfkd_entry(c)) {
            std::uint32_t entry = clean_tables::kNfkdEntries[e - 1];
            const std::uint32_t* d = clean_tables::kNfkdPool + (entry >> 5);
            o = out.at_least<O>(w + (entry & 31) + (n - i - 1), w);
            const std::uint32_t len = entry & 31;
            if (len == 2) {  // the usual letter and mark, without a general copy
                o[w] = (O)d[0], o[w + 1] = (O)d[1], w += 2;
                bits |= d[0] | d[1];
                mark(d[0]);
                mark(d[1]);
            } else {
                for (std::uint32_t k = 0; k < len; ++k) {
                    bits |= d[k];
                    o[w++] = (O)d[k];
                    mark(d[k]);
                }
            }
            changed = true;
        } else {
            bits |= c;
            o[w++] = (O)c;
            mark(c);
        }
        if (bmp && (unordered || bits > 0xFFFF)) return kNfkdWider;
    }
    *out_len = w;
    *max_bits = bits;
    if (!unordered) return changed;
    if constexpr (!bmp) changed |= put_in_canonical_order(o, w);
    return changed;
}

#if NX_VEC128
// NFKD of 1-byte text as UTF-16, by the table of U+0080..U+00FF: ASCII is
// widened in blocks, which are stored whole before they are looked at; the
// buffer keeps room for the characters still to read, four more and a block.
bool nfkd_latin1(const std::uint8_t* s, std::size_t n, Buf& out, std::size_t* out_len, U* max_bits,
                 const Latin1Nfkd& t) {
    using O = std::uint16_t;
    constexpr std::size_t kRoom = 4 + 16;
    out.reserve((n + kRoom) * sizeof(O));
    O* o = out.as<O>();
    const simd::reg zero = simd::zero();
    std::size_t w = 0, i = 0;
    bool changed = false;
    U bits = 0x7F;
    while (i < n) {
        unsigned big = 1;  // the next character is not ASCII (at the end, one at a time)
        if (i + 16 <= n) {
            const simd::reg x = simd::load(s + i);
            simd::reg* d = reinterpret_cast<simd::reg*>(o + w);
            simd::store(d, simd::zip_lo8(x, zero));
            simd::store(d + 1, simd::zip_hi8(x, zero));
            big = (unsigned)simd::mask(x);
            if (!big) {
                i += 16, w += 16;
                continue;
            }
        } else if (i + 8 <= n) {
            const simd::reg x = simd::load64(s + i);
            simd::store(o + w, simd::zip_lo8(x, zero));
            big = (unsigned)simd::mask(x) & 0xFF;
            if (!big) {
                i += 8, w += 8;
                continue;
            }
        } else {
            while (i < n && s[i] < 0x80) o[w++] = s[i++];
            if (i == n) break;
        }
        const std::size_t k = (std::size_t)__builtin_ctz(big);
        i += k, w += k;
        const Latin1Nfkd::Entry& x = t.e[s[i] - 0x80];
        o = out.at_least<O>(w + kRoom + (n - i), w);
        for (int j = 0; j < 4; ++j) o[w + j] = x.d[j];
        w += x.len;
        bits |= x.bits;
        changed |= x.decomposes;
        ++i;
    }
    *out_len = w;
    *max_bits = bits;
    return changed;
}
#endif

// The widths of the cleaner's results: 1-byte text and UTF-16 into UTF-16
// without pairs (kNfkdWider when that cannot hold the result), and every
// width into code points.
template int nfkd_native<std::uint16_t>(const std::uint8_t*, std::size_t, Buf&, std::size_t*, U*);
template int nfkd_native<std::uint16_t>(const std::uint16_t*, std::size_t, Buf&, std::size_t*, U*);
template int nfkd_native<U>(const std::uint8_t*, std::size_t, Buf&, std::size_t*, U*);
template int nfkd_native<U>(const std::uint16_t*, std::size_t, Buf&, std::size_t*, U*);
template int nfkd_native<U>(const U*, std::size_t, Buf&, std::size_t*, U*);

PyObject* nfkd_by_tables(PyObject* text) {
    if (nx::ready(text) < 0) return nullptr;
    Py_UCS4* s = PyUnicode_AsUCS4Copy(text);
    if (!s) return nullptr;
    Buf out;
    std::size_t len = 0;
    U max_bits = 0;
    PyObject* r = nullptr;
    try {
        nfkd_native(s, (std::size_t)PyUnicode_GET_LENGTH(text), out, &len, &max_bits);
        r = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.as<U>(), (Py_ssize_t)len);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    PyMem_Free(s);
    return r;
}

}  // namespace cleaning
}  // namespace scrape

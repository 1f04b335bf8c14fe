// The native text-cleaning pipeline of clean_data.
//
// Every stage reproduces, character for character, the result of the
// regular-expression substitutions (or library calls) it replaces. Each
// pattern is fixed, so each has its own matcher; the comments next to them say
// why the matcher finds exactly the matches `re` would find, and why stages
// that are fused into one pass give what the separate substitutions give.
//
// The first pass reads the str once, in pieces, and does the survey, the
// replacement table and the removal of script blocks together. Every stage
// works in the storage width of the str: one byte per character, UTF-16
// (a 4-byte str without lone surrogates, and 1-byte text once a reference
// makes a character beyond U+00FF), or code points (a 4-byte str with lone
// surrogates). Stages never make the text longer (a 4-byte str's pairs
// aside, for which the first pass has room), so two buffers suffice (NFKD,
// which can, writes code points to a buffer that grows as it goes), and
// every stage runs in time linear in the text: searches for a
// terminator remember their last answer, which stays valid for later, larger
// start positions.
#include "clean_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "../../capi/invariant.h"
#include "../../capi/pystr.h"
#include "clean_html_tables.h"  // made at build time by tools/gen_html_tables.py
#include "clean_scan.h"
#include "nfkd.h"
#include "text.h"
#include "unescape.h"
#include "../simd/vec128.h"

namespace scrape {
namespace cleaning {

// The scanning kernels for this processor, chosen once, when the module loads.
const scan::Kernels& chosen_kernels = scan::chosen();

namespace {

using nx::Ref;
// The answer of the first pass for 4-byte text that UTF-16 cannot carry.
constexpr std::size_t kNoUtf16 = npos - 2;

// Characters compared exactly by the matchers below although the patterns
// use IGNORECASE: they have no case partners.
constexpr bool no_fold(unsigned char c) { return clean_tables::kFold[c][0] == 0; }
static_assert(no_fold('<') && no_fold('>') && no_fold('*') && no_fold('&') && no_fold(';') &&
                  no_fold(' ') && no_fold('!') && no_fold('-') && no_fold('/'),
              "IGNORECASE equivalences of punctuation");
// Letters whose only IGNORECASE partner is the other ASCII case.
constexpr bool ascii_fold_only(unsigned char c) {
    return clean_tables::kFold[c][0] == (c ^ 0x20u) && clean_tables::kFold[c][1] == 0;
}

// Does `ch` match the pattern character `pc` under re.IGNORECASE?
inline bool ci_eq(U ch, unsigned char pc) {
    if (ch == pc) return true;
    for (const std::uint32_t* f = clean_tables::kFold[pc]; *f; ++f)
        if (*f == ch) return true;
    return false;
}

// Does the literal `lit` match at s[p] under IGNORECASE?
template <class C>
inline bool ci_at(const C* s, std::size_t n, std::size_t p, std::string_view lit) {
    if (p > n || n - p < lit.size()) return false;
    for (std::size_t i = 0; i < lit.size(); ++i)
        if (!ci_eq(s[p + i], (unsigned char)lit[i])) return false;
    return true;
}

// First position >= x holding a character accepted by `pred`, remembering the
// answer: queries come with growing x, and an answer >= x (or "none") stays
// the answer for every later x up to it, so the text is scanned once.
template <class C, class Pred>
struct NextFinder {
    const C* s;
    std::size_t n;
    Pred pred;
    bool known = false;
    std::size_t at = npos;
    std::size_t operator()(std::size_t x) {
        if (known && (at == npos || at >= x)) return at;
        known = true;
        at = pred(s, n, x);
        return at;
    }
};
template <class C, class Pred>
NextFinder<C, Pred> next_finder(const C* s, std::size_t n, Pred pred) {
    return NextFinder<C, Pred>{s, n, pred};
}

// The characters of type C matching the pattern character `b` under
// IGNORECASE.
template <class C>
inline Needles fold_set(unsigned char b) {
    Needles set{{b}, 1};
    for (const std::uint32_t* f = clean_tables::kFold[b]; *f; ++f)
        if (*f <= std::uint32_t(C(-1))) set.c[set.k++] = *f;
    return set;
}

// First index i >= p with s[i] == a and s[i + 1] matching b under
// IGNORECASE, or n. (Openers are searched by their first two characters, so
// the search does not stop at every tag.) With an output `o`, also copies
// s[p..i] (s[p..n) when there is none) to o[0..], storing whole blocks: o
// needs room for the characters up to n.
template <class C>
inline std::size_t find_pair(const C* s, std::size_t p, std::size_t n, U a, unsigned char b,
                             C* o = nullptr) {
    return ops<C>().find_pair(s, p, n, Needles{{a}, 1}, fold_set<C>(b), o);
}

constexpr Needles kGtChar = {{'>'}, 1};
constexpr Needles kLtChar = {{'<'}, 1};

template <class C>
inline std::size_t find_gt(const C* s, std::size_t n, std::size_t x) {
    std::size_t i = find_any(s, x, n, kGtChar);
    return i < n ? i : npos;
}

// The number of " " at the start of s[0..n).
template <class C>
inline std::size_t leading_spaces(const C* s, std::size_t n) {
    std::size_t i = 0;
#if NX_VEC128
    if (n > 0 && s[0] == ' ') {
        constexpr std::size_t L = 16 / sizeof(C);
        const simd::reg space = sizeof(C) == 1   ? simd::set8(' ')
                                : sizeof(C) == 2 ? simd::set16(' ')
                                                 : simd::set32(' ');
        for (; i + L <= n; i += L) {
            const simd::reg x = simd::load(s + i);
            const simd::reg eq = sizeof(C) == 1   ? simd::eq8(x, space)
                                 : sizeof(C) == 2 ? simd::eq16(x, space)
                                                  : simd::eq32(x, space);
            const unsigned other = ~(unsigned)simd::mask(eq) & 0xFFFF;
            if (other) return i + (std::size_t)__builtin_ctz(other) / sizeof(C);
        }
    }
#endif
    while (i < n && s[i] == ' ') ++i;
    return i;
}

#if NX_VEC128
template <class C>
inline simd::reg splat(std::uint32_t c) {
    if constexpr (sizeof(C) == 1) return simd::set8(c);
    if constexpr (sizeof(C) == 2) return simd::set16(c);
    return simd::set32(c);
}
template <class C>
inline simd::reg equal(simd::reg a, simd::reg b) {
    if constexpr (sizeof(C) == 1) return simd::eq8(a, b);
    if constexpr (sizeof(C) == 2) return simd::eq16(a, b);
    return simd::eq32(a, b);
}

// The white space other than " " (and the other characters below U+0020):
// all ones in those lanes of x.
template <class C>
inline simd::reg other_spaces(simd::reg x) {
    simd::reg m;
    if constexpr (sizeof(C) == 1) {  // below U+0020: 0x20 - x does not saturate to 0
        m = simd::xor_(simd::eq8(simd::subs_u8(splat<C>(0x20), x), simd::zero()), simd::set8(-1));
    } else if constexpr (sizeof(C) == 2) {
        const simd::reg zero = simd::zero();
        m = simd::xor_(simd::eq16(simd::subs_u16(splat<C>(0x20), x), zero), simd::set16(-1));
        // U+2000..U+200A: x - 0x2000 does not exceed 0x0A
        const simd::reg d = simd::sub16(x, splat<C>(0x2000));
        m = simd::or_(m, simd::eq16(simd::subs_u16(d, splat<C>(0x0A)), zero));
    } else {  // and beyond U+FFFF, which the check below does not cover
        m = simd::or_(simd::lt_s32(x, splat<C>(0x20)), simd::gt_s32(x, splat<C>(0xFFFF)));
        const simd::reg d = simd::sub32(x, splat<C>(0x2000));
        m = simd::or_(m,
                      simd::and_(simd::gt_s32(d, splat<C>(-1)), simd::lt_s32(d, splat<C>(0x0B))));
    }
    m = simd::or_(m, simd::or_(equal<C>(x, splat<C>(0x85)), equal<C>(x, splat<C>(0xA0))));
    if constexpr (sizeof(C) > 1) {
        for (std::uint32_t c : {0x1680u, 0x2028u, 0x2029u, 0x202Fu, 0x205Fu, 0x3000u})
            m = simd::or_(m, equal<C>(x, splat<C>(c)));
    }
    return m;
}

// The lanes of x outside U+0020..U+007F, where other_spaces may find some.
template <class C>
inline simd::reg beyond_ascii_print(simd::reg x) {
    if constexpr (sizeof(C) == 1) {  // as signed bytes, 0x80..0xFF are below 0x20 too
        return simd::lt_s8(x, splat<C>(0x20));
    } else if constexpr (sizeof(C) == 2) {  // x - 0x20 > 0x5F, unsigned
        const simd::reg bias = simd::set16(0x8000);
        return simd::gt_s16(simd::xor_(simd::sub16(x, splat<C>(0x20)), bias),
                            simd::set16(0x5F ^ 0x8000));
    } else {
        return simd::or_(simd::lt_s32(x, splat<C>(0x20)), simd::gt_s32(x, splat<C>(0x7F)));
    }
}
#endif

// The white space of the running interpreter up to U+FFFF is the one
// other_spaces knows. (UTF-16 text takes a character beyond U+FFFF for two
// units that are not white space, in every stage: there is none beyond.)
inline bool plain_blocks_allowed() {
    static const bool ok = [] {
        constexpr std::uint32_t known[] = {0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                           0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                           0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
        const std::uint32_t* k = known;
        for (U c = 0x1680; c <= 0xFFFF; ++c) {
            const bool listed = k != std::end(known) && *k == c;
            if (listed) ++k;
            if (listed != (Py_UNICODE_ISSPACE(c) != 0)) return false;
        }
        return true;
    }();
    return ok;
}

// "\s+" -> " " applied to a stream of characters.
template <class C>
struct Collapser {
    C* o;
    std::size_t w = 0;
    bool in_space = false;  // the last character written stands for a run of white space
    bool changed = false;

    void put(U c) {
        if (is_space(c)) {
            if (in_space) {
                changed = true;
                return;
            }
            changed |= c != ' ';
            o[w++] = ' ';
            in_space = true;
        } else {
            o[w++] = (C)c;
            in_space = false;
        }
    }
    // The run of " " at the start of s[0..len), as one; returns its length.
    std::size_t spaces(const C* s, std::size_t len) {
        const std::size_t k = leading_spaces(s, len);
        if (k) {
            changed |= k > 1 || in_space;
            if (!in_space) o[w++] = ' ';
            in_space = true;
        }
        return k;
    }
    void span(const C* s, std::size_t len) {
        // A run of spaces at the start (most often the indentation between
        // two tags) goes whole.
        const std::size_t k = spaces(s, len);
        s += k, len -= k;
        std::size_t i = 0;
#if NX_VEC128
        // Blocks without white space other than single spaces (counting a
        // space written before) are copied as they are.
        constexpr std::size_t L = 16 / sizeof(C);
        if (plain_blocks_allowed()) {
            const simd::reg space = splat<C>(' ');
            const simd::reg first_lane = simd::shr_bytes<16 - sizeof(C)>(simd::set8(0xFF));
            C* const out = o;
            std::size_t w_ = w;
            bool in = in_space;
            while (i + L <= len) {
                const simd::reg x = simd::load(s + i);
                const simd::reg sp = equal<C>(x, space);
                simd::reg prev = simd::shl_bytes<sizeof(C)>(sp);
                if (in) prev = simd::or_(prev, first_lane);
                simd::reg bad = simd::and_(sp, prev);
                if (simd::mask(beyond_ascii_print<C>(x))) bad = simd::or_(bad, other_spaces<C>(x));
                if (simd::mask(bad)) {
                    w = w_, in_space = in;
                    scalar(s + i, L);
                    w_ = w, in = in_space;
                } else {
                    simd::store(out + w_, x);
                    w_ += L;
                    in = s[i + L - 1] == ' ';
                }
                i += L;
            }
            w = w_, in_space = in;
        }
#endif
        scalar(s + i, len - i);
    }
    void scalar(const C* s, std::size_t len) {
        std::size_t w_ = w;
        bool in = in_space, ch = changed;
        for (std::size_t i = 0; i < len; ++i) {
            U c = s[i];
            if (c - 0x20u < 0x65u) {  // U+0020..U+0084: only " " is white space
                bool sp = c == ' ';
                bool drop = sp & in;
                o[w_] = (C)c;
                w_ += !drop;
                ch |= drop;
                in = sp;
            } else {
                w = w_, in_space = in, changed = ch;
                put(c);
                w_ = w, in = in_space, ch = changed;
            }
        }
        w = w_, in_space = in, changed = ch;
    }
    // A span of text already collapsed (white space only as single " "):
    // only its first character can join a space written before.
    void collapsed_span(const C* s, std::size_t len) {
        if (len == 0) return;
        if (s[0] == ' ' && in_space) ++s, --len, changed = true;
        if (len == 0) return;
        std::copy(s, s + len, o + w);
        w += len;
        in_space = s[len - 1] == ' ';
    }
};

// ---------------------------------------------------------------------------
// Stages of clean_string. Each reads s[0..n) and writes o, returning the new
// length, or npos when the text is unchanged (o is then unspecified).
// ---------------------------------------------------------------------------

// The replacement table in one pass:
//   "&gt;" -> ">", "&lt;" -> "<", "&amp;" -> "&", "&nbsp;" -> " ",
//   U+0099 -> "", "[\r\n\t]+" -> " ", each IGNORECASE, in that order.
// - The first three literals hold "&" only at their start, so their
//   occurrences never overlap, and no replacement character can take part in
//   an occurrence of a later one: one left-to-right pass over the three gives
//   what their three substitutions give.
// - An "&nbsp;" after them starts either at an "&" left alone (an "&nbsp;" of
//   the input) or at the "&" made from "&amp;"; in the latter case the five
//   characters after "&amp;" are "nbsp;" in the input too, since the earlier
//   replacements only touch text starting with "&". So "&amp;nbsp;" gives " ".
// - Deleting U+0099 and collapsing control runs touch none of the characters
//   the earlier steps make or look at; a deleted U+0099 lets a run continue.
// `run` carries, from one piece of a text to the next, whether the output
// ends in the space written for a run of controls.
// The literal of the table at the "&" s[p]: its replacement, and its length
// (1 for none: the "&" stays).
template <class C>
inline std::size_t table_literal(const C* s, std::size_t n, std::size_t p, char* rep) {
    *rep = '&';
    // Most references ("&#8217;", "&eacute;") start with none of the letters
    // of the four (which have no case partners beyond ASCII).
    static_assert(ascii_fold_only('g') && ascii_fold_only('l') && ascii_fold_only('a') &&
                      ascii_fold_only('n'),
                  "IGNORECASE equivalences of the letters");
    if (p + 1 < n && s[p + 1] < 0x80) {
        const unsigned c = (unsigned)s[p + 1] | 0x20;
        if (c != 'g' && c != 'l' && c != 'a' && c != 'n') return 1;
    }
    if (ci_at(s, n, p, "&gt;")) return *rep = '>', 4;
    if (ci_at(s, n, p, "&lt;")) return *rep = '<', 4;
    if (ci_at(s, n, p, "&amp;")) return ci_at(s, n, p + 5, "nbsp;") ? (*rep = ' ', 10) : 5;
    if (ci_at(s, n, p, "&nbsp;")) return *rep = ' ', 6;
    return 1;
}

// The table over s[0..n) into o, which is always written: *changed tells
// whether it differs from the input, and *flags gets the survey bits of what
// was read. From 4-byte text to UTF-16 the text is converted as it goes,
// and a text holding a surrogate code point gives kNoUtf16.
template <class In, class C>
std::size_t copy_table(const In* s, std::size_t n, C* o, bool& run, bool* changed,
                       unsigned* flags) {
    scan::Controls st{0, run, false};
    auto copy = [&](std::size_t p) {
        if constexpr (sizeof(In) == sizeof(C))
            return ops<C>().copy_controls(s, p, n, o, &st);
        else
            return chosen_kernels.narrow_controls(s, p, n, o, &st);
    };
    for (std::size_t p = 0; (p = copy(p)) != n;) {
        if (p == scan::kNotUtf16) return kNoUtf16;
        char rep;
        const std::size_t len = table_literal(s, n, p, &rep);
        o[st.w++] = (C)(unsigned char)rep;
        st.run = false;
        st.changed |= len > 1;
        p += len;
    }
    run = st.run;
    *changed = st.changed;
    *flags = st.flags;
    return st.w;
}

// A lazy block, IGNORECASE, replaced by " ":
//   opener [^>]* > [\w\W]*? closer       (with_attrs)
//   opener [\w\W]*? closer               (without)
// followed by " *" when trailing_spaces (greedy, nothing after it).
// At a start p where the opener matches, "[^>]*>" can only end at the first
// ">" after the opener (a shorter [^>]* leaves a non-">" character where ">"
// must match), and the lazy body ends at the first closer after that.
// Both positions only grow with p, so once either is absent it is absent for
// every later start, and the search stops.
template <class C>
std::size_t remove_blocks(const C* s, std::size_t n, C* o, std::string_view opener, bool with_attrs,
                          std::string_view closer, bool trailing_spaces) {
    auto next_gt = next_finder(s, n, find_gt<C>);
    auto next_close = next_finder(s, n, [closer](const C* t, std::size_t m, std::size_t x) {
        // Search for the closer's first character, or its case partners.
        const Needles first = fold_set<C>((unsigned char)closer[0]);
        for (std::size_t i = x; (i = find_any(t, i, m, first)) < m; ++i)
            if (ci_at(t, m, i, closer)) return i;
        return npos;
    });
    const U first = (unsigned char)opener[0];  // "<" or "*": no case partners
    // The text is copied as the search for openers passes it: o[w..] holds
    // s[copied..p], and s[copied..n) once no opener is left. A match
    // replaces at least four characters by one, so w <= copied and the
    // search writes at most at index p + 3 < n of o.
    std::size_t w = 0, copied = 0;
    bool changed = false, to_end = false;
    for (std::size_t p = 0;;) {
        p = find_pair(s, p, n, first, (unsigned char)opener[1], o + w + (p - copied));
        if (p == n) {
            to_end = true;
            break;
        }
        if (!ci_at(s, n, p, opener)) {
            ++p;
            continue;
        }
        std::size_t body = p + opener.size();
        if (with_attrs) {
            std::size_t at = next_gt(body);
            if (at == npos) break;
            body = at + 1;
        }
        std::size_t c = next_close(body);
        if (c == npos) break;
        std::size_t end = c + closer.size();
        if (trailing_spaces)
            while (end < n && s[end] == ' ') ++end;
        // A match replaces at least four characters by one.
        NX_ASSERT(w <= copied);
        w += p - copied;
        o[w++] = ' ';
        copied = p = end;
        changed = true;
    }
    if (!changed) return npos;
    if (!to_end) std::copy(s + copied, s + n, o + w);
    return w + (n - copied);
}

// The last index >= p holding ">", or npos.
template <class C>
std::size_t rfind_gt(const C* s, std::size_t p, std::size_t n) {
#if NX_VEC128
    constexpr std::size_t L = 16 / sizeof(C);
    const simd::reg gt = splat<C>('>');
    for (; n >= p + L; n -= L) {
        const simd::reg x = simd::load(s + n - L);
        if (const unsigned m = (unsigned)simd::mask(equal<C>(x, gt)))
            return n - L + (std::size_t)(31 - __builtin_clz(m)) / sizeof(C);
    }
#endif
    while (n-- > p)
        if (s[n] == '>') return n;
    return npos;
}

// First index >= at holding ">", or n: one vector first (most tags are
// short), then two a step.
template <class C>
inline std::size_t find_tag_end(const C* s, std::size_t at, std::size_t n) {
#if NX_VEC128
    constexpr std::size_t L = 16 / sizeof(C);
    const simd::reg gt = splat<C>('>');
    auto first = [&](simd::reg x) { return (unsigned)simd::mask(equal<C>(x, gt)); };
    if (at + L <= n) {
        if (const unsigned m = first(simd::load(s + at)))
            return at + (std::size_t)__builtin_ctz(m) / sizeof(C);
        at += L;
    }
    for (; at + 2 * L <= n; at += 2 * L) {
        const simd::reg x = simd::load(s + at);
        const simd::reg y = simd::load(s + at + L);
        if (simd::mask(simd::or_(equal<C>(x, gt), equal<C>(y, gt)))) {
            if (const unsigned m = first(x)) return at + (std::size_t)__builtin_ctz(m) / sizeof(C);
            return at + L + (std::size_t)__builtin_ctz(first(y)) / sizeof(C);
        }
    }
#endif
    while (at < n && s[at] != '>') ++at;
    return at;
}

#if NX_VEC128
// The block loop of remove_tags_collapse from s[p]: copies blocks of plain
// text to out, skipping each tag that stops one and the spaces after a
// space, and returns where it stopped (n, or a character the caller takes).
template <class C>
inline std::size_t collapse_blocks(const C* s, std::size_t p, std::size_t n, Collapser<C>& out,
                                   bool& tags) {
    constexpr std::size_t L = 16 / sizeof(C);
    const simd::reg lt = splat<C>('<'), gt = splat<C>('>'), space = splat<C>(' ');
    constexpr unsigned first_lane = (1u << sizeof(C)) - 1;
    C* o = out.o;
    std::size_t w = out.w;
    bool in = out.in_space;
    while (p + L <= n) {
        const simd::reg x = simd::load(s + p);
        const unsigned sp = (unsigned)simd::mask(equal<C>(x, space));
        const unsigned lts = (unsigned)simd::mask(equal<C>(x, lt));
        unsigned stop = lts | (sp & ((sp << sizeof(C)) | (in ? first_lane : 0u)));
        if (simd::mask(beyond_ascii_print<C>(x))) stop |= (unsigned)simd::mask(other_spaces<C>(x));
        simd::store(o + w, x);
        const std::size_t k = stop ? (std::size_t)__builtin_ctz(stop) / sizeof(C) : L;
        w += k, p += k;
        // Whether the last character taken is a space (its lane's
        // top bit of sp), when one is taken.
        in = k ? (sp >> (k * sizeof(C) - 1)) & 1u : in;
        if (!stop) continue;
        // The stop at lane k, without leaving the loop: a tag (not
        // "<>"; its ">" in the block or after it), or spaces after a
        // space, which go as far as the block shows them.
        const unsigned shift = (unsigned)(k * sizeof(C));
        if ((lts >> shift) & 1u) {
            const unsigned gts = (unsigned)simd::mask(equal<C>(x, gt)) >> shift >> sizeof(C);
            // ("<>", or a "<" in the last lane, whose next one the
            // block does not show, are left to the loop below.)
            if ((gts & first_lane) || k + 1 == L) break;
            const std::size_t gt_at = gts ? p + 1 + (std::size_t)__builtin_ctz(gts) / sizeof(C)
                                          : find_tag_end(s, p + (L - k), n);
            if (gt_at == n) break;  // no ">" from here on
            if (!in) o[w++] = ' ', in = true;
            p = gt_at + 1;
            tags = true;
        } else if ((sp >> shift) & 1u) {
            p += (std::size_t)__builtin_ctz(~(sp >> shift)) / sizeof(C);
            out.changed = true;
        } else {
            break;
        }
    }
    out.w = w, out.in_space = in;
    return p;
}
#endif

// "<[^>]+>" -> " " (no flags), then "\s+" -> " " on the result, in one pass.
// At a "<", [^>]+ reaches the first ">" after it and needs at least one
// character before it; "<>" does not match there. Without any ">" further on,
// nothing later can match either. The collapse only looks at runs of white
// space, so it can take the characters as the tag pass produces them.
//
// One pass: the text between tags is copied in blocks while a block holds
// no "<" and no white space other than single spaces. A tag that stops a
// block is skipped to its ">", and spaces after a space are dropped, within
// the block loop; the other stops ("<>", other white space, a "<" in a
// block's last lane) are taken on their own below.
template <class C>
std::size_t remove_tags_collapse(const C* s, std::size_t n, C* o) {
    Collapser<C> out{o};
    bool tags = false;
    std::size_t last_gt = npos;  // the last ">", once a "<" asks for it
    bool last_known = false;
    std::size_t p = 0;
#if NX_VEC128
    const bool blocks = plain_blocks_allowed();
#endif
    while (p < n) {
#if NX_VEC128
        if (blocks) {
            p = collapse_blocks(s, p, n, out, tags);
            if (p == n) break;
        }
#endif
        const C c = s[p];
        if (c != '<') {
            if (c == ' ')  // the run goes whole
                p += out.spaces(s + p, n - p);
            else
                out.put(c), ++p;
            continue;
        }
        if (!last_known) {
            last_known = true;
            last_gt = rfind_gt(s, p, n);
        }
        if (last_gt == npos || last_gt < p) {  // no tag from here on
            out.span(s + p, n - p);
            break;
        }
        if (s[p + 1] == '>') {  // "<>" is text
            out.put(c);
            ++p;
            continue;
        }
        // The ">" is at p + 2 or after, up to last_gt.
        out.put(' ');
        tags = true;
        p = find_tag_end(s, p + 2, n) + 1;
    }
    return tags || out.changed ? out.w : npos;
}

// encode("utf-8", "ignore") then decode: drops every surrogate code point
// (of a 2- or 4-byte str; UTF-16 made by the first pass holds none).
template <class C>
std::size_t drop_surrogates(const C* s, std::size_t n, C* o) {
    std::size_t w = 0;
    for (std::size_t p = 0; p < n; ++p)
        if (s[p] < 0xD800 || s[p] > 0xDFFF) o[w++] = s[p];
    return w == n ? npos : w;
}

// ---------------------------------------------------------------------------
// The CLEANR stage
// ---------------------------------------------------------------------------

// Remove every match of
//   <.*?>|&([a-z0-9]+|#x[0-9]{1,6}|#x[0-9a-f]{1,6});|[\t\n\r]
// (no flags), then "\s+" -> " " on the result, then strip(), in one pass.
// The alternatives start with different characters.
//  - "<.*?>": the lazy body stops at the first ">" after the "<"; "." does not
//    cross a newline, so the match fails when a "\n" (or the end) comes first.
//  - "&[a-z0-9]+;": the greedy run must be followed by ";"; a shorter run
//    would leave a letter or digit where ";" must be.
//  - "&#x[0-9a-f]{1,6};" (which covers the [0-9]{1,6} variant): one to six
//    hex digits, the longest run up to six, then ";"; a seventh digit fails.
// The collapse takes the characters as the removal produces them; after it
// the only white space left is single spaces, so strip() drops at most one
// space at each end. Sets *start to the first character kept. With
// `collapsed`, the input holds white space only as single spaces, so only
// the joins at removed matches need a look.
template <class C>
std::size_t remove_cleanr_collapse(const C* s, std::size_t n, C* o, std::size_t* start,
                                   bool collapsed) {
    static constexpr Needles cs = {{'<', '&', '\t', '\n', '\r'}, 5};
    auto next_stop = next_finder(s, n, [](const C* t, std::size_t m, std::size_t x) {
        static constexpr Needles stops = {{'>', '\n'}, 2};
        std::size_t i = find_any(t, x, m, stops);
        return i < m ? i : npos;
    });
    Collapser<C> out{o};
    std::size_t copied = 0;
    bool changed = false;
    for (std::size_t p = 0; (p = find_any(s, p, n, cs)) < n;) {
        const U c = s[p];
        std::size_t end = npos;
        if (c == '<') {
            std::size_t stop = next_stop(p + 1);
            if (stop != npos && s[stop] == '>') end = stop + 1;
        } else if (c == '&') {
            std::size_t q = p + 1;
            if (q < n && is_lower_alnum(s[q])) {
                std::size_t e = q;
                while (e < n && is_lower_alnum(s[e])) ++e;
                if (e < n && s[e] == ';') end = e + 1;
            } else if (q + 1 < n && s[q] == '#' && s[q + 1] == 'x') {
                std::size_t r = q + 2, e = r;
                while (e < n && e - r < 7 && is_lower_hex(s[e])) ++e;
                if (e > r && e - r <= 6 && e < n && s[e] == ';') end = e + 1;
            }
        } else {
            end = p + 1;
        }
        if (end == npos) {
            ++p;
            continue;
        }
        if (collapsed)
            out.collapsed_span(s + copied, p - copied);
        else
            out.span(s + copied, p - copied);
        copied = p = end;
        changed = true;
    }
    if (collapsed)
        out.collapsed_span(s + copied, n - copied);
    else
        out.span(s + copied, n - copied);
    std::size_t w = out.w;
    *start = 0;
    if (w > 0 && o[w - 1] == ' ') --w, changed = true;
    if (w > 0 && o[0] == ' ') *start = 1, --w, changed = true;
    return changed || out.changed ? w : npos;
}

// ---------------------------------------------------------------------------
// The result str, from the stages' buffers
// ---------------------------------------------------------------------------

// A str holding s[0..n), every character <= maxc (an upper bound that falls
// in the same storage class as the true maximum).
inline PyObject* make_str(const U* s, std::size_t n, U maxc) {
    if (maxc > 0x10FFFF) maxc = 0x10FFFF;
    PyObject* r = PyUnicode_New((Py_ssize_t)n, maxc);
    if (!r) return nullptr;
    switch (PyUnicode_KIND(r)) {
        case PyUnicode_1BYTE_KIND: {
            Py_UCS1* d = PyUnicode_1BYTE_DATA(r);
            std::size_t i = 0;
#if NX_VEC128
            // Every character is below 0x100: the saturating packs keep them.
            for (; i + 16 <= n; i += 16) {
                const simd::reg* v = reinterpret_cast<const simd::reg*>(s + i);
                simd::reg lo = simd::pack_s32(simd::load(v), simd::load(v + 1));
                simd::reg hi = simd::pack_s32(simd::load(v + 2), simd::load(v + 3));
                simd::store(d + i, simd::pack_us16(lo, hi));
            }
#endif
            for (; i < n; ++i) d[i] = (Py_UCS1)s[i];
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            Py_UCS2* d = PyUnicode_2BYTE_DATA(r);
            std::size_t i = 0;
#if NX_VEC128
            // Every character is below 0x10000: shifted down by 0x8000 it
            // fits the signed pack, and shifting back restores it.
            const simd::reg bias32 = simd::set32(0x8000);
            const simd::reg bias16 = simd::set16(0x8000);
            for (; i + 8 <= n; i += 8) {
                const simd::reg* v = reinterpret_cast<const simd::reg*>(s + i);
                simd::reg w = simd::pack_s32(simd::sub32(simd::load(v), bias32),
                                             simd::sub32(simd::load(v + 1), bias32));
                simd::store(d + i, simd::xor_(w, bias16));
            }
#endif
            for (; i < n; ++i) d[i] = (Py_UCS2)s[i];
            break;
        }
        default: std::copy(s, s + n, PyUnicode_4BYTE_DATA(r));
    }
    return r;
}

// A str holding s[0..n) of 1-byte text, or of 2-byte text whose characters
// are all below U+0100 (every character <= maxc).
template <class C>
PyObject* make_str(const C* s, std::size_t n, U maxc) {
    static_assert(sizeof(C) < 4, "4-byte text has its own");
    PyObject* r = PyUnicode_New((Py_ssize_t)n, maxc);
    if (!r) return nullptr;
    Py_UCS1* d = PyUnicode_1BYTE_DATA(r);
    if constexpr (sizeof(C) == 1) {
        std::memcpy(d, s, n);
    } else {
        std::size_t i = 0;
#if NX_VEC128
        for (; i + 16 <= n; i += 16) {
            const simd::reg* v = reinterpret_cast<const simd::reg*>(s + i);
            simd::store(reinterpret_cast<simd::reg*>(d + i),
                        simd::pack_us16(simd::load(v), simd::load(v + 1)));
        }
#endif
        for (; i < n; ++i) d[i] = (Py_UCS1)s[i];
    }
    return r;
}

// A str holding the UTF-16 s[0..n), whose largest character is maxc, and
// which holds pairs or not.
inline PyObject* utf16_str(const std::uint16_t* s, std::size_t n, U maxc, bool pairs) {
    if (maxc <= 0xFF) return make_str(s, n, maxc);
    if (!pairs) {
        PyObject* r = PyUnicode_New((Py_ssize_t)n, maxc);
        if (r) std::memcpy(PyUnicode_2BYTE_DATA(r), s, n * 2);
        return r;
    }
    // Every high surrogate of this UTF-16 starts a pair: one character less.
    std::size_t count = n, i = 0;
#if NX_VEC128
    const simd::reg top6 = simd::set16(0xFC00), high = simd::set16(0xD800);
    for (; i + 8 <= n; i += 8) {
        const simd::reg x = simd::load(s + i);
        const unsigned h = (unsigned)simd::mask(simd::eq16(simd::and_(x, top6), high));
        count -= (std::size_t)__builtin_popcount(h) / 2;
    }
#endif
    for (; i < n; ++i) count -= s[i] - 0xD800u < 0x400u;
    PyObject* r = PyUnicode_New((Py_ssize_t)count, maxc);
    if (!r) return nullptr;
    Py_UCS4* d = PyUnicode_4BYTE_DATA(r);
    std::size_t w = 0;
    for (i = 0; i < n; ++i) {
#if NX_VEC128
        // Blocks without surrogates are widened whole.
        const simd::reg zero = simd::zero(), any = simd::set16(0xF800);
        const simd::reg sur = simd::set16(0xD800);
        for (; i + 8 <= n; i += 8, w += 8) {
            const simd::reg x = simd::load(s + i);
            if (simd::mask(simd::eq16(simd::and_(x, any), sur))) break;
            simd::reg* o = reinterpret_cast<simd::reg*>(d + w);
            simd::store(o, simd::zip_lo16(x, zero));
            simd::store(o + 1, simd::zip_hi16(x, zero));
        }
        if (i == n) break;
#endif
        U c = s[i];
        if (c - 0xD800u < 0x400u && i + 1 < n)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        d[w++] = c;
    }
    return r;
}

// The bitwise or of the characters (of the units of UTF-16).
template <class C>
U or_all(const C* s, std::size_t n) {
    U m = 0;
    std::size_t i = 0;
#if NX_VEC128
    simd::reg v = simd::zero();
    for (; i + 16 / sizeof(C) <= n; i += 16 / sizeof(C)) v = simd::or_(v, simd::load(s + i));
    alignas(16) C lanes[16 / sizeof(C)];
    simd::store(lanes, v);
    for (C c : lanes) m |= c;
#endif
    for (; i < n; ++i) m |= s[i];
    return m;
}

template <>
U or_all<U>(const U* s, std::size_t n) {
    U m = 0;
    std::size_t i = 0;
#if NX_VEC128
    simd::reg v0 = simd::zero(), v1 = simd::zero();
    for (; i + 8 <= n; i += 8) {
        v0 = simd::or_(v0, simd::load(s + i));
        v1 = simd::or_(v1, simd::load(s + i + 4));
    }
    v0 = simd::or_(v0, v1);
    m = (U)simd::or_lanes32(v0);
#endif
    for (; i < n; ++i) m |= s[i];
    return m;
}

struct Openers {
    bool script = false, specs = false, style = false, comment = false;
    bool all() const { return script && specs && style && comment; }
};

// The characters that begin a block opener, and those that can follow them
// in one ("s" in any case, "!", " ") of type C.
constexpr Needles kOpenerFirst{{'<', '*'}, 2};
template <class C>
inline const Needles& opener_seconds() {
    static const Needles set = [] {
        Needles r{{}, 0};
        for (const Needles& f : {fold_set<C>('s'), fold_set<C>('!'), fold_set<C>(' ')})
            for (int i = 0; i < f.k; ++i) r.c[r.k++] = f.c[i];
        return r;
    }();
    return set;
}

// At a "<" or "*" of s[0..n): adds the opener of a block other than a script
// found there to `r`; returns whether a script opener is there.
template <class C>
bool note_opener(const C* s, std::size_t n, std::size_t p, Openers& r) {
    if (s[p] != '<') {
        r.specs |= ci_at(s, n, p, "* style specs start");
        return false;
    }
    r.style |= ci_at(s, n, p, "<style");
    r.comment |= ci_at(s, n, p, "<!--");
    return ci_at(s, n, p, "<script");
}

// Adds the block openers that lie wholly within s[p..n) to `r`.
template <class C>
void find_openers(const C* s, std::size_t p, std::size_t n, Openers& r) {
    for (; !r.all() &&
           (p = ops<C>().find_pair(s, p, n, kOpenerFirst, opener_seconds<C>(), nullptr)) < n;
         ++p)
        r.script |= note_opener(s, n, p, r);
}
constexpr std::size_t kLongestOpener = std::string_view("* style specs start").size();

// Which later stages can have work to do, from the first pass.
struct Features {
    bool amp, star, surrogates;
};

inline Features features(unsigned f) {
    return Features{(f & scan::kAmp) != 0, (f & scan::kStar) != 0, (f & scan::kSurrogates) != 0};
}

// 4-byte text goes through the markup stages as UTF-16 (characters beyond
// U+FFFF as surrogate pairs): they keep or drop whole runs between ASCII
// characters and compare only with BMP characters, so they never split a
// pair and treat it as they treat the character. Text holding a surrogate
// code point, which UTF-16 cannot carry, stays as it is.

// ---------------------------------------------------------------------------
// The whole pipeline
// ---------------------------------------------------------------------------

// Two buffers per thread, kept between calls while they are not large.
struct Scratch {
    Buf buf[2];
    bool busy = false;
};

// Buffers up to kKeepBytes are always kept; up to kKeepMaxBytes while calls
// still need a quarter of them now and then.
constexpr std::size_t kKeepBytes = std::size_t(4) << 20;
constexpr std::size_t kKeepMaxBytes = std::size_t(64) << 20;

// Texts longer than this (in bytes of storage) are cleaned without the
// interpreter lock.
constexpr std::size_t kUnlockedBytes = std::size_t(64) << 10;

// The text between stages: the input's own characters, or one of the two
// buffers. Each stage reads it and writes the buffer that does not hold it.
struct Text {
    Scratch& sc;
    const void* data;
    std::size_t n;
    int held = -1;  // the buffer holding the text, or -1 for the input
    bool changed = false;

    Buf& spare() { return sc.buf[held == 0 ? 1 : 0]; }

    // Runs fn(in, n, out) -> new length, npos when the text is unchanged, or
    // kUnescapeFallback or kNoUtf16, which it passes on. The output has room for `grow`
    // times the input's length.
    template <class In, class Out, class Fn>
    std::size_t stage(Fn fn, std::size_t grow = 1) {
        Buf& out = spare();
        out.reserve((n * grow + 1) * sizeof(Out));
        const std::size_t m = fn(static_cast<const In*>(data), n, out.as<Out>());
        // The stage wrote within the room it had.
        NX_ASSERT(m >= npos - 3 || m <= n * grow + 1);
        if (m == npos || m == kUnescapeFallback || m == kNoUtf16) return m;
        data = out.as<Out>();
        held = &out == &sc.buf[0] ? 0 : 1;
        n = m;
        changed = true;
        return m;
    }
};

// The text is read in pieces of this many characters by the first pass: a
// piece is still in the first-level cache when each step of the pass reads it.
constexpr std::size_t kPiece = 8192;
// No reference spans the end of a piece: the replacement table looks this
// far ahead of an "&" ("&amp;nbsp;").
constexpr std::size_t kTableLookahead = 10;
// A piece of up to this many characters (a short text, or the end of a long
// one) goes through the replacement table without a survey first.
constexpr std::size_t kShortText = 512;

// What the first pass found.
struct Front {
    Features f{};
    Openers open;  // those of blocks other than scripts, which are removed
    bool changed = false;
};

// "<script[^>]*>[\w\W]*?</script>" -> " " (IGNORECASE) on a text that grows
// at its end, as remove_blocks does it on the whole text: each match is
// decided by the text up to its closer, and a start that cannot be decided
// yet (its opener or closer not wholly written) waits for more text. The
// scans resume where they stopped, so the text is read once. The search for
// script openers notes the openers of the other blocks on the way.
template <class C>
class ScriptStream {
public:
    // The openers of other blocks in the text that the removal keeps (and,
    // before the removal, perhaps in some that it drops).
    Openers open;

    // The next match in t[0..end), as [*from, *to); false when there is none
    // yet (or, with `last`, none at all). The scan goes on after the match:
    // the caller replaces it by " " (which starts no opener), and may leave
    // the text after it where it is until it calls moved().
    bool next(const C* t, std::size_t end, bool last, std::size_t* from, std::size_t* to) {
        static constexpr std::string_view opener = "<script", closer = "</script>";
        for (;;) {
            if (mode_ == kSeek) {
                const std::size_t p = ops<C>().find_pair(t, pos_, end, kOpenerFirst,
                                                         opener_seconds<C>(), nullptr);
                if (p == end) {  // a "<" at the end is looked at again
                    pos_ = std::max(pos_, end - (end > 0));
                    return false;
                }
                if (!last && end - p < (t[p] == '<' ? opener.size() : kLongestOpener)) {
                    pos_ = p;
                    return false;
                }
                pos_ = p + 1;
                if (!note_opener(t, end, p, open)) continue;
                start_ = p;
                pos_ = p + opener.size();
                mode_ = kGt;
            }
            if (mode_ == kGt) {
                const std::size_t gt_at = find_any(t, pos_, end, kGtChar);
                pos_ = gt_at;
                if (gt_at == end) return false;
                ++pos_;
                mode_ = kClose;
            }
            for (;;) {  // kClose
                const std::size_t i = find_any(t, pos_, end, kLtChar);
                pos_ = i;
                if (i == end || (!last && end - i < closer.size())) return false;
                if (ci_at(t, end, i, closer)) {
                    *from = start_;
                    *to = i + closer.size();
                    pos_ = *to;  // the " " that replaces the match starts no opener
                    mode_ = kSeek;
                    return true;
                }
                ++pos_;
            }
        }
    }

    // The text from the end of the last match on moved back by d places.
    void moved(std::size_t d) {
        pos_ -= d;
        if (mode_ != kSeek) start_ -= d;
    }

    // Within a script's body, with all of t[0..end) scanned: text written
    // from `end` on is searched for the closer only.
    bool in_body(std::size_t end) const { return mode_ == kClose && pos_ == end; }
    // Back in the body to `at`, which in_body(at) held for, the text from
    // there on being written again.
    void rewind(std::size_t at) { pos_ = at; }

    // At the end of the text t[0..end): an opener whose block never closes
    // leaves the rest of the text, whose openers count too.
    void finish(const C* t, std::size_t end) {
        if (mode_ != kSeek) find_openers(t, start_ + 1, end, open);
    }

private:
    enum { kSeek, kGt, kClose } mode_ = kSeek;
    std::size_t pos_ = 0;    // the scan of the current mode goes on from here
    std::size_t start_ = 0;  // the opener of the match being looked for
};

// The first pass, piece by piece, so that the text is read from memory once:
// the survey, the replacement table (which also surveys, once the text has
// changed), the search for block openers (in the output, since "&lt;" makes
// a "<") and the removal of script blocks. With C narrower than In, 4-byte
// text is written as UTF-16 (kNoUtf16 when it holds a surrogate code point).
// run() returns the length of the output, or npos when the text is unchanged
// (o is then unspecified).
//
// Each piece takes four steps: skip_body() passes over script text that the
// removal will drop, reopen_body() writes it after all when that script
// never closes, copy_piece() takes the piece through the table, and
// remove_scripts() replaces the scripts that the text so far completes.
template <class In, class C>
class FrontPass {
public:
    FrontPass(const In* s, std::size_t n, C* o, Front& fr) : s_(s), n_(n), o_(o), fr_(fr) {}

    std::size_t run() {
        for (std::size_t a = 0;;) {
            const std::size_t limit = skip_body(a);
            if (a == n_ && !reopen_body(a)) break;
            const std::size_t b = piece_end(a, limit);
            if (!copy_piece(a, b)) return kNoUtf16;
            a = b;
            remove_scripts(a == n_);
        }
        return finish();
    }

private:
    static constexpr bool kConvert = sizeof(In) != sizeof(C);
    // Where scripts were removed (the first kMaxJoins of them).
    static constexpr std::size_t kMaxJoins = 4096;
    // Within a script's body, input that holds no "<" and no "&" (from
    // which "&lt;" makes one) gives table output without "<", where the
    // closer cannot start: it is skipped, and dropped with the script. The
    // first skip of a body is remembered: when the body never closes, the
    // text from there is written after all. (Any other character, a
    // surrogate code point too, is the same in the output of both widths
    // once dropped.)
    static constexpr Needles kBodyStops = {{'<', '&'}, 2};
    static constexpr std::size_t kMinSkip = 128;     // shorter stretches are copied
    static constexpr std::size_t kAfterSkip = 64;    // the piece from a stop on
    static constexpr std::size_t kAfterCopy = 1024;  // the piece when no skip was worth it

    // The text so far: the output, or the input while it is unchanged.
    const C* text() const {
        if constexpr (kConvert) {
            return o_;
        } else {
            return written_ ? o_ : s_;
        }
    }

    // Within a script's body, moves `a` over input that the removal drops;
    // returns the length of the next piece.
    std::size_t skip_body(std::size_t& a) {
        if (a == n_ || !may_skip_ || !written_ || !scripts_.in_body(w_)) return kPiece;
        const std::size_t j = find_any(s_, a, n_, kBodyStops);
        if (j - a < kMinSkip) return kAfterCopy;
        if (skip_in_ == npos) skip_in_ = a, skip_w_ = w_, skip_run_ = run_;
        a = j;
        return kAfterSkip;
    }

    // At the end of the input: a body skipped in part that never closes is
    // written from its first skip on (`a` goes back there). False when the
    // pass is done.
    bool reopen_body(std::size_t& a) {
        if (skip_in_ == npos || !scripts_.in_body(w_)) return false;
        a = skip_in_, w_ = skip_w_, run_ = skip_run_;
        scripts_.rewind(w_);
        may_skip_ = false;
        skip_in_ = npos;
        return true;
    }

    // The end of the piece from `a` of up to `limit` characters: no
    // reference spans it.
    std::size_t piece_end(std::size_t a, std::size_t limit) const {
        std::size_t b = std::min(n_, a + limit);
        // The end of the next piece, looked at before that piece: read it
        // in now, while this one is worked on.
        if (b + kPiece < n_) __builtin_prefetch(s_ + b + kPiece - (kTableLookahead - 1));
        if (b < n_) {
            for (std::size_t i = b - (kTableLookahead - 1); i < b; ++i)
                if (s_[i] == '&') return i;
        }
        return b;
    }

    // s[a..b) through the replacement table. Until the text changes, it
    // stays where it is (written_ is false); from then on every piece is
    // copied through the table. False for 4-byte text that UTF-16 cannot
    // carry.
    bool copy_piece(std::size_t a, std::size_t b) {
        std::size_t m = b - a;
        bool changed = false;
        unsigned here = 0;
        if (!written_) {
            if constexpr (!kConvert) {
                // A short text goes through the table at once, which surveys
                // it too: most short fields hold a line break or a reference.
                here = b - a <= kShortText ? scan::kControls : ops<C>().survey(s_ + a, b - a);
                if (here & (scan::kAmp | scan::kControls)) {
                    m = copy_table(s_ + a, b - a, o_ + a, run_, &changed, &here);
                    if (changed) std::copy(s_, s_ + a, o_);  // w_ == a
                } else {
                    run_ = false;
                }
            }
        } else {
            m = copy_table(s_ + a, b - a, o_ + w_, run_, &changed, &here);
            if (m == kNoUtf16) return false;
        }
        found_ |= here;
        fr_.changed |= changed;
        written_ |= changed;
        w_ += m;
        return true;
    }

    // The scripts that the text so far completes (all of them at the
    // `last` piece), each replaced by " " as it comes; the text after each
    // stays where it is until the next one (or the end of the piece) moves
    // it, so the text between two matches moves once.
    void remove_scripts(bool last) {
        std::size_t kept = w_, from = w_;  // o[0..kept) + o[from..w) is the text
        for (std::size_t x, y; scripts_.next(text(), w_, last, &x, &y);) {
            if (!written_) std::copy(s_, s_ + w_, o_);
            written_ = true;
            if (kept == from) kept = from = x;  // the first of the piece
            std::copy(o_ + from, o_ + x, o_ + kept);
            kept += x - from;
            if (joins_.size() < kMaxJoins)
                joins_.push_back(kept);
            else
                joins_all_ = false;
            o_[kept++] = ' ';
            from = y;
            fr_.changed = true;
            skip_in_ = npos;
        }
        if (kept != from) {
            std::copy(o_ + from, o_ + w_, o_ + kept);
            scripts_.moved(from - kept);
            w_ -= from - kept;
        }
    }

    std::size_t finish() {
        fr_.f = features(found_);
        const C* t = text();
        scripts_.finish(t, w_);
        fr_.open = scripts_.open;
        // A removed script leaves a space, which can be one of the three of
        // a "* style specs start" spanning it.
        if (fr_.f.star && !fr_.open.specs) {
            if (!joins_all_) {
                fr_.open.specs = true;
            } else {
                for (std::size_t x : joins_)
                    for (std::size_t k : {1, 7, 13})
                        fr_.open.specs |= x >= k && ci_at(t, w_, x - k, "* style specs start");
            }
        }
        return kConvert || fr_.changed ? w_ : npos;
    }

    const In* const s_;
    const std::size_t n_;
    C* const o_;
    Front& fr_;
    std::size_t w_ = 0;        // output written
    bool written_ = kConvert;  // o holds the output so far; else it is s[0..w)
    bool run_ = false;         // the output ends in the space of a run of controls
    unsigned found_ = 0;       // the survey bits
    ScriptStream<C> scripts_;
    std::vector<std::size_t> joins_;
    bool joins_all_ = true;
    std::size_t skip_in_ = npos, skip_w_ = 0;  // where the first skip of this body began
    bool skip_run_ = false, may_skip_ = true;
};

template <class In, class C>
std::size_t front_pass(const In* s, std::size_t n, C* o, Front& fr) {
    return FrontPass<In, C>(s, n, o, fr).run();
}

// The block and tag stages (the first pass is done).
template <class C>
void markup_stages(Text& t, const Front& fr) {
    auto stage = [&t](auto fn) { return t.stage<C, C>(fn); };
    // A removed block leaves a space, so a later pass can only meet a new
    // opener that holds a space: of the three, only "* style specs start",
    // which runs first.
    const Openers& open = fr.open;
    if (open.specs) {
        stage([](const C* s, std::size_t n, C* o) {
            return remove_blocks(s, n, o, "* style specs start", true, "style specs end", true);
        });
    }
    if (open.style) {
        stage([](const C* s, std::size_t n, C* o) {
            return remove_blocks(s, n, o, "<style", true, "</style>", false);
        });
    }
    if (open.comment) {
        stage([](const C* s, std::size_t n, C* o) {
            return remove_blocks(s, n, o, "<!--", false, "-->", false);
        });
    }
    stage(remove_tags_collapse<C>);
}

// The cleaned text before NFKD (1-byte text, UTF-16 or code points, by
// `width`), or the need to let the interpreter do it all.
struct Cleaned {
    const void* s = nullptr;
    std::size_t n = 0;
    int width = 4;
    bool changed = false;
    bool fallback = false;
};

// The last stage before NFKD, in the width W of the text.
template <class W>
Cleaned cleanr_stage(Text& t, bool collapsed) {
    Cleaned out;
    std::size_t start = 0;  // first character of the result
    t.stage<W, W>([&start, collapsed](const W* s, std::size_t n, W* o) {
        return remove_cleanr_collapse(s, n, o, &start, collapsed);
    });
    out.s = static_cast<const W*>(t.data) + start;
    out.n = t.n;
    out.width = sizeof(W);
    out.changed = t.changed;
    return out;
}

// The stages of text_cleaner before NFKD, in the width W of the text: 1-byte
// text (UTF-16 from the first reference that makes a character beyond
// U+00FF), UTF-16, or code points.
template <class W>
Cleaned text_cleaner_stages(Text& t, const Features& f) {
    // The tag pass left white space only as single spaces; dropping
    // surrogates or unescaping may change that.
    bool collapsed = true;
    if constexpr (sizeof(W) > 1) {
        if (f.surrogates && t.stage<W, W>(drop_surrogates<W>) != npos) collapsed = false;
    }
    if (f.amp) {
        bool spaced = false, wide = false;
        auto pass = [&](const W* s, std::size_t n, W* o) {
            UnescapeAt at;
            std::size_t m = unescape(s, n, o, &spaced, at);
            if constexpr (sizeof(W) == 1) {
                if (m == kNeedsWider) {
                    // The output so far is widened where it lies (the
                    // buffer has room for the text as UTF-16), and the
                    // pass goes on from that reference in UTF-16.
                    auto* o16 = reinterpret_cast<std::uint16_t*>(o);
                    for (std::size_t i = at.w; i-- > 0;) o16[i] = o[i];
                    wide = true;
                    m = unescape(s, n, o16, &spaced, at);
                }
            }
            return m;
        };
        if (t.stage<W, W>(pass, sizeof(W) == 1 ? 2 : 1) == kUnescapeFallback) {
            Cleaned out;
            out.fallback = true;
            return out;
        }
        collapsed &= !spaced;
        if constexpr (sizeof(W) == 1) {
            if (wide) return cleanr_stage<std::uint16_t>(t, collapsed);
        }
    }
    return cleanr_stage<W>(t, collapsed);
}

// Every stage up to NFKD. Runs without the interpreter lock for long texts:
// it reads only the characters of the str, which the caller holds.
template <class C>
Cleaned run_stages(Text& t) {
    Front fr;
    auto first_pass = [&fr](const auto* s, std::size_t n, auto* o) {
        return front_pass(s, n, o, fr);
    };
    if constexpr (sizeof(C) == 4) {
        // On half the bytes, unless the text holds surrogates, which UTF-16
        // cannot carry.
        using W = std::uint16_t;
        if (t.stage<U, W>(first_pass, 2) != kNoUtf16) {
            t.changed = fr.changed;
            fr.f.surrogates = false;  // halves of pairs only
            markup_stages<W>(t, fr);
            return text_cleaner_stages<W>(t, fr.f);
        }
        fr = Front{};  // and again in the text's own width
    }
    t.stage<C, C>(first_pass);
    markup_stages<C>(t, fr);
    return text_cleaner_stages<C>(t, fr.f);
}

// The result: t[lo..hi) in the given width, every character <= maxc (the
// largest character of UTF-16 holding pairs).
struct Final {
    const void* t;
    int width;
    std::size_t lo, hi;
    U maxc;
    bool changed;
    bool pairs;  // UTF-16 with pairs
};

// First index >= p holding a character beyond ASCII, or n.
template <class C>
std::size_t find_non_ascii(const C* s, std::size_t p, std::size_t n) {
    if constexpr (sizeof(C) == 4) {
        return find_ascii_class(s, p, n, false);
    } else {
#if NX_VEC128
        constexpr std::size_t L = 16 / sizeof(C);
        for (; p + L <= n; p += L) {
            const simd::reg x = simd::load(s + p);
            unsigned big;
            if constexpr (sizeof(C) == 1) {
                big = (unsigned)simd::mask(x);
            } else {  // x - 0x7F saturates to 0 for ASCII only
                const simd::reg zero = simd::zero();
                big = ~(unsigned)simd::mask(
                          simd::eq16(simd::subs_u16(x, simd::set16(0x7F)), zero)) &
                      0xFFFF;
            }
            if (big) return p + (std::size_t)__builtin_ctz(big) / sizeof(C);
        }
#endif
        for (; p < n; ++p)
            if (s[p] >= 0x80) return p;
        return n;
    }
}

// Whether NFKD leaves s[0..n) as it is: no character decomposes or has a
// combining class (so none can move). Then *maxc is the largest character,
// and *pairs tells whether UTF-16 pairs occur.
// (s[0..first) is ASCII.)
template <class C>
bool nfkd_identity(const C* s, std::size_t first, std::size_t n, U* maxc, bool* pairs) {
    U top = 0x7F;
    bool pr = false;
    for (std::size_t i = first; (i = find_non_ascii(s, i, n)) < n; ++i) {
        U c = s[i];
        if constexpr (sizeof(C) == 2) {
            if (c - 0xD800u < 0x400u && i + 1 < n && s[i + 1] - 0xDC00u < 0x400u) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
                pr = true;
            }
        }
        if (nfkd_entry(c) || combining_class(c)) return false;
        top = std::max(top, c);
    }
    *maxc = top;
    *pairs = pr;
    return true;
}

template <class C>
Final settle_as(const C* s, const Cleaned& c, Buf& spare, bool nfkd) {
    Final f{s, (int)sizeof(C), 0, c.n, 0x7F, c.changed, false};
    std::size_t len = c.n;
    const std::size_t first = find_non_ascii(s, 0, c.n);
    if (first < c.n && !nfkd) f.maxc = or_all(s + first, c.n - first) | 0x7F;
    auto strip = [&f, &len](const auto* t) {
        while (f.lo < len && is_space(t[f.lo])) ++f.lo;
        f.hi = len;
        while (f.hi > f.lo && is_space(t[f.hi - 1])) --f.hi;
    };
    // NFKD leaves ASCII as it is, and text without a character that
    // decomposes or has a combining class.
    if (first < c.n && nfkd && !nfkd_identity(s, first, c.n, &f.maxc, &f.pairs)) {
        f.pairs = false;
        if constexpr (sizeof(C) < 4) {
            // As UTF-16, which most results fit (all of 1-byte text).
            int r = kNfkdWider;
#if NX_VEC128
            if constexpr (sizeof(C) == 1) {
                if (const Latin1Nfkd& table = latin1_nfkd(); table.usable)
                    r = nfkd_latin1(s, c.n, spare, &len, &f.maxc, table);
            }
#endif
            if (r == kNfkdWider) r = nfkd_native<std::uint16_t>(s, c.n, spare, &len, &f.maxc);
            if (r != kNfkdWider) {
                f.changed |= r != 0;
                f.t = spare.as<std::uint16_t>();
                f.width = 2;
                strip(spare.as<std::uint16_t>());
                f.changed |= f.lo != 0 || f.hi != len;
                return f;
            }
        }
        f.changed |= nfkd_native(s, c.n, spare, &len, &f.maxc) != 0;
        f.t = spare.as<U>();
        f.width = 4;
        strip(spare.as<U>());
    } else {
        strip(s);
    }
    f.changed |= f.lo != 0 || f.hi != len;
    return f;
}

// NFKD by the tables (with `nfkd`; the text is then final), the "utf_8_sig"
// round trip (which only drops surrogates, and none are left) and strip().
// Needs no interpreter. Without NFKD, 2-byte text must be ASCII.
Final settle(const Cleaned& c, Buf& spare, bool nfkd) {
    switch (c.width) {
        case 1: return settle_as(static_cast<const std::uint8_t*>(c.s), c, spare, nfkd);
        case 2: return settle_as(static_cast<const std::uint16_t*>(c.s), c, spare, nfkd);
        default: return settle_as(static_cast<const U*>(c.s), c, spare, nfkd);
    }
}

// The str of the result: the input itself when nothing changed.
PyObject* build(PyObject* text, const Final& f) {
    if (!f.changed) {
        Py_INCREF(text);
        return text;
    }
    const std::size_t n = f.hi - f.lo;
    switch (f.width) {
        case 1: return make_str(static_cast<const std::uint8_t*>(f.t) + f.lo, n, f.maxc);
        case 2: return utf16_str(static_cast<const std::uint16_t*>(f.t) + f.lo, n, f.maxc, f.pairs);
        default: return make_str(static_cast<const U*>(f.t) + f.lo, n, f.maxc);
    }
}

// The cleaned text as a str (a new reference).
PyObject* cleaned_str(const Cleaned& c, U maxc) {
    switch (c.width) {
        case 1: return make_str(static_cast<const std::uint8_t*>(c.s), c.n, maxc);
        case 2: {
            int little = -1;
            return PyUnicode_DecodeUTF16(static_cast<const char*>(c.s), (Py_ssize_t)(c.n * 2),
                                         nullptr, &little);
        }
        default: return make_str(static_cast<const U*>(c.s), c.n, maxc);
    }
}

// The finishing step with the interpreter's unicodedata.normalize, for an
// interpreter whose Unicode tables are not those built in.
PyObject* finish_with(PyObject* normalize, PyObject* form, PyObject* text, const Cleaned& c,
                      Buf& spare) {
    const Final ascii = settle(c, spare, false);
    if (ascii.maxc < 0x80) return build(text, ascii);  // NFKD leaves ASCII as it is
    Ref cleaned = c.changed ? Ref::steal(cleaned_str(c, ascii.maxc)) : Ref::borrow(text);
    Ref norm = cleaned ? Ref::steal(
                             PyObject_CallFunctionObjArgs(normalize, form, cleaned.get(), nullptr))
                       : Ref();
    if (!norm) return nullptr;
    const Py_ssize_t m = PyUnicode_GET_LENGTH(norm.get());
    spare.reserve(((std::size_t)m + 1) * sizeof(U));
    if (!PyUnicode_AsUCS4(norm.get(), spare.as<U>(), m, 0)) return nullptr;
    Cleaned normalized{spare.as<U>(), (std::size_t)m, 4, true, false};
    return build(text, settle(normalized, spare, false));
}

template <class C>
Outcome clean_kind(PyObject* text, Scratch& sc, PyObject* normalize, PyObject* form,
                   bool native_nfkd) {
    const C* data = static_cast<const C*>(PyUnicode_DATA(text));
    const std::size_t n = (std::size_t)PyUnicode_GET_LENGTH(text);
    Text t{sc, data, n};
    Cleaned c;
    Final f{};
    bool no_memory = false;
    auto run = [&] {
        try {
            c = run_stages<C>(t);
            if (!c.fallback && native_nfkd) f = settle(c, t.spare(), true);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    };
    if (n * sizeof(C) > kUnlockedBytes) {
        Py_BEGIN_ALLOW_THREADS run();
        Py_END_ALLOW_THREADS
    } else {
        run();
    }
    Outcome out;
    if (no_memory) {
        PyErr_NoMemory();
    } else if (c.fallback) {
        out.fallback = true;
    } else {
        out.result = native_nfkd ? build(text, f)
                                 : finish_with(normalize, form, text, c, t.spare());
    }
    return out;
}

}  // namespace

const char* scan_kernels() { return chosen_kernels.name; }

const char* vector_set() { return NX_VEC128_NAME; }

Outcome clean_string(PyObject* text, PyObject* normalize, PyObject* form, bool native_nfkd) {
    Outcome out;
    if (nx::ready(text) < 0) return out;
    if (PyUnicode_GET_LENGTH(text) == 0) {
        out.result = PyUnicode_New(0, 0);
        return out;
    }
    // One scratch pair per thread; a call that reenters (through a
    // normalize of the caller's) gets buffers of its own.
    thread_local Scratch shared;
    Scratch local;
    Scratch& sc = shared.busy ? local : shared;
    sc.busy = true;
    struct Done {
        Scratch& sc;
        ~Done() {
            sc.busy = false;
            for (Buf& b : sc.buf) b.trim(kKeepBytes, kKeepMaxBytes);
        }
    } done{sc};
    try {
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return clean_kind<Py_UCS1>(text, sc, normalize, form, native_nfkd);
            case PyUnicode_2BYTE_KIND:
                return clean_kind<Py_UCS2>(text, sc, normalize, form, native_nfkd);
            default: return clean_kind<Py_UCS4>(text, sc, normalize, form, native_nfkd);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return out;
    }
}

}  // namespace cleaning
}  // namespace scrape

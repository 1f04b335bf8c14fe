// The native text-cleaning pipeline of clean_data.
//
// Every stage works on a buffer of code points and reproduces, character for
// character, the result of the regular-expression substitution (or library
// call) it replaces. Each pattern is fixed, so each has its own matcher; the
// comments next to them say why the matcher finds exactly the matches `re`
// would find. Stages never grow the text, so two buffers of the input's
// length suffice, and every stage runs in time linear in the text: searches
// for a terminator remember their last answer, which stays valid for later,
// larger start positions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "clean_html_tables.h"

namespace clean_text {

using U = Py_UCS4;
constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Characters compared exactly by the matchers below although the patterns
// use IGNORECASE: they have no case partners.
static_assert(clean_tables::kFold['<'][0] == 0 && clean_tables::kFold['>'][0] == 0 &&
                  clean_tables::kFold['*'][0] == 0 && clean_tables::kFold['&'][0] == 0 &&
                  clean_tables::kFold[';'][0] == 0 && clean_tables::kFold[' '][0] == 0,
              "IGNORECASE equivalences of punctuation");

inline bool is_space(U c) { return Py_UNICODE_ISSPACE(c); }
inline bool is_digit(U c) { return c >= '0' && c <= '9'; }
inline bool is_lower_alnum(U c) { return is_digit(c) || (c >= 'a' && c <= 'z'); }
inline bool is_lower_hex(U c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
inline int hex_value(U c) {
    if (is_digit(c)) return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}

// Does `ch` match the pattern character `pc` under re.IGNORECASE?
inline bool ci_eq(U ch, unsigned char pc) {
    if (ch == pc) return true;
    for (const std::uint32_t* f = clean_tables::kFold[pc]; *f; ++f)
        if (*f == ch) return true;
    return false;
}

// Does the literal `lit` match at s[p] under IGNORECASE?
inline bool ci_at(const U* s, std::size_t n, std::size_t p, std::string_view lit) {
    if (n - p < lit.size()) return false;
    for (std::size_t i = 0; i < lit.size(); ++i)
        if (!ci_eq(s[p + i], (unsigned char)lit[i])) return false;
    return true;
}

// A code-point buffer without initialisation cost.
struct Buf {
    std::unique_ptr<U[]> p;
    std::size_t n = 0, cap = 0;
    void reserve(std::size_t c) {
        if (c > cap) {
            p.reset(new U[c]);
            cap = c;
        }
    }
    void release() {
        p.reset();
        n = cap = 0;
    }
};

// First position >= x holding a character accepted by `pred`, remembering the
// answer: queries come with growing x, and an answer >= x (or "none") stays
// the answer for every later x up to it, so the text is scanned once.
template <class Pred>
struct NextFinder {
    const U* s;
    std::size_t n;
    Pred pred;
    bool known = false;
    std::size_t at = npos;
    std::size_t operator()(std::size_t x) {
        if (known && (at == npos || at >= x)) return at;
        known = true;
        for (std::size_t i = x; i < n; ++i)
            if (pred(s, n, i)) return at = i;
        return at = npos;
    }
};
template <class Pred>
NextFinder<Pred> next_finder(const U* s, std::size_t n, Pred pred) {
    return NextFinder<Pred>{s, n, pred};
}

// ---------------------------------------------------------------------------
// Stages of clean_string. Each reads s[0..n) and writes o, returning the new
// length, or npos when the text is unchanged (o is then unspecified).
// ---------------------------------------------------------------------------

// "&gt;" -> ">", "&lt;" -> "<", "&amp;" -> "&", each IGNORECASE, in that
// order. The three literals hold "&" only at their start, so their
// occurrences never overlap, and no replacement character can take part in
// an occurrence of a later literal: one left-to-right pass over all three
// gives what the three successive substitutions give.
inline std::size_t sub_gt_lt_amp(const U* s, std::size_t n, U* o) {
    bool changed = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n;) {
        if (s[p] == '&') {
            if (ci_at(s, n, p, "&gt;")) {
                o[w++] = '>', p += 4, changed = true;
                continue;
            }
            if (ci_at(s, n, p, "&lt;")) {
                o[w++] = '<', p += 4, changed = true;
                continue;
            }
            if (ci_at(s, n, p, "&amp;")) {
                o[w++] = '&', p += 5, changed = true;
                continue;
            }
        }
        o[w++] = s[p++];
    }
    return changed ? w : npos;
}

// "&nbsp;" -> " " (IGNORECASE). Run after the three above: "&amp;nbsp;"
// must become a space.
inline std::size_t sub_nbsp(const U* s, std::size_t n, U* o) {
    bool changed = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n;) {
        if (s[p] == '&' && ci_at(s, n, p, "&nbsp;")) {
            o[w++] = ' ', p += 6, changed = true;
            continue;
        }
        o[w++] = s[p++];
    }
    return changed ? w : npos;
}

// U+0099 -> "" and then "[\r\n\t]+" -> " ". Removing U+0099 first can join
// two runs, so the run stays open across it.
inline std::size_t sub_c99_controls(const U* s, std::size_t n, U* o) {
    bool changed = false, in_run = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n; ++p) {
        U c = s[p];
        if (c == 0x99) {
            changed = true;
        } else if (c == '\r' || c == '\n' || c == '\t') {
            if (!in_run) o[w++] = ' ';
            in_run = true;
            changed = true;
        } else {
            o[w++] = c;
            in_run = false;
        }
    }
    return changed ? w : npos;
}

// A lazy block, IGNORECASE, replaced by " ":
//   opener [^>]* > [\w\W]*? closer       (with_attrs)
//   opener [\w\W]*? closer               (without)
// followed by " *" when trailing_spaces.
// At a start p where the opener matches, "[^>]*>" can only end at the first
// ">" after the opener (a shorter [^>]* leaves a non-">" character where ">"
// must match), and the lazy body ends at the first closer after that.
// Both positions only grow with p, so once either is absent it is absent for
// every later start, and the search stops.
inline std::size_t remove_blocks(const U* s, std::size_t n, U* o, std::string_view opener,
                                 bool with_attrs, std::string_view closer,
                                 bool trailing_spaces) {
    auto next_gt = next_finder(s, n, [](const U* t, std::size_t, std::size_t i) {
        return t[i] == '>';
    });
    auto next_close = next_finder(s, n, [closer](const U* t, std::size_t m, std::size_t i) {
        return ci_at(t, m, i, closer);
    });
    const U first = (unsigned char)opener[0];  // "<" or "*": no case partners
    std::size_t w = 0, copied = 0;
    bool changed = false;
    for (std::size_t p = 0; p < n;) {
        if (s[p] != first || !ci_at(s, n, p, opener)) {
            ++p;
            continue;
        }
        std::size_t body = p + opener.size();
        if (with_attrs) {
            std::size_t g = next_gt(body);
            if (g == npos) break;
            body = g + 1;
        }
        std::size_t c = next_close(body);
        if (c == npos) break;
        std::size_t end = c + closer.size();
        if (trailing_spaces)
            while (end < n && s[end] == ' ') ++end;
        std::copy(s + copied, s + p, o + w);
        w += p - copied;
        o[w++] = ' ';
        copied = p = end;
        changed = true;
    }
    if (!changed) return npos;
    std::copy(s + copied, s + n, o + w);
    return w + (n - copied);
}

// "<[^>]+>" -> " " (no flags). At a "<", [^>]+ reaches the first ">" after
// it and needs at least one character before it; "<>" does not match there.
// Without any ">" further on, nothing later can match either.
inline std::size_t remove_tags(const U* s, std::size_t n, U* o) {
    auto next_gt = next_finder(s, n, [](const U* t, std::size_t, std::size_t i) {
        return t[i] == '>';
    });
    std::size_t w = 0, copied = 0;
    bool changed = false;
    for (std::size_t p = 0; p < n;) {
        if (s[p] != '<') {
            ++p;
            continue;
        }
        std::size_t g = next_gt(p + 1);
        if (g == npos) break;
        if (g == p + 1) {
            ++p;
            continue;
        }
        std::copy(s + copied, s + p, o + w);
        w += p - copied;
        o[w++] = ' ';
        copied = p = g + 1;
        changed = true;
    }
    if (!changed) return npos;
    std::copy(s + copied, s + n, o + w);
    return w + (n - copied);
}

// "\s+" -> " " (no flags), optionally followed by strip(). After the collapse
// the only white space left is single spaces, so strip() drops at most one
// space at each end.
inline std::size_t collapse_spaces(const U* s, std::size_t n, U* o, bool strip) {
    bool changed = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n;) {
        U c = s[p];
        if (!is_space(c)) {
            o[w++] = c;
            ++p;
            continue;
        }
        std::size_t q = p + 1;
        while (q < n && is_space(s[q])) ++q;
        if (c != ' ' || q - p > 1) changed = true;
        o[w++] = ' ';
        p = q;
    }
    if (strip) {
        std::size_t start = 0;
        if (w > 0 && o[w - 1] == ' ') --w, changed = true;
        if (w > 0 && o[0] == ' ') start = 1, changed = true;
        if (start) {
            std::copy(o + 1, o + w, o);
            --w;
        }
    }
    return changed ? w : npos;
}

// encode("utf-8", "ignore") then decode: drops every surrogate code point.
inline std::size_t drop_surrogates(const U* s, std::size_t n, U* o) {
    std::size_t w = 0;
    for (std::size_t p = 0; p < n; ++p)
        if (s[p] < 0xD800 || s[p] > 0xDFFF) o[w++] = s[p];
    return w == n ? npos : w;
}

// ---------------------------------------------------------------------------
// html.unescape
// ---------------------------------------------------------------------------

class EntityTable {
public:
    static const EntityTable& get() {
        static const EntityTable table;
        return table;
    }
    const clean_tables::Entity* find(std::string_view name) const {
        auto it = map_.find(name);
        return it == map_.end() ? nullptr : it->second;
    }

private:
    EntityTable() {
        map_.reserve(clean_tables::kEntityCount * 2);
        for (const auto& e : clean_tables::kEntities)
            map_.emplace(std::string_view(e.name, e.name_len), &e);
    }
    std::unordered_map<std::string_view, const clean_tables::Entity*> map_;
};

// The replacement of a numeric reference of value `num` (capped above
// 0x10FFFF), as html._replace_charref gives it.
inline std::size_t emit_charref(std::uint32_t num, U* o) {
    const auto* cr_end = clean_tables::kCharrefs + clean_tables::kCharrefCount;
    const auto* cr = std::lower_bound(
        clean_tables::kCharrefs, cr_end, num,
        [](const clean_tables::Charref& c, std::uint32_t v) { return c.num < v; });
    if (cr != cr_end && cr->num == num) {
        for (int i = 0; i < cr->value_len; ++i) o[i] = cr->value[i];
        return cr->value_len;
    }
    if ((num >= 0xD800 && num <= 0xDFFF) || num > 0x10FFFF) {
        o[0] = 0xFFFD;
        return 1;
    }
    if (std::binary_search(clean_tables::kInvalidCodepoints,
                           clean_tables::kInvalidCodepoints + clean_tables::kInvalidCodepointCount,
                           num))
        return 0;
    o[0] = num;
    return 1;
}

// Decimal references with more digits than this may exceed the interpreter's
// limit on int() conversion (never set below this value); such text is left
// to the interpreter so that its ValueError appears.
constexpr std::size_t kSafeDecimalDigits = 640;
constexpr std::size_t kUnescapeFallback = npos - 1;

// One pass of
//   &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
// with html's replacement. Returns the new length, npos when unchanged, or
// kUnescapeFallback.
inline std::size_t unescape(const U* s, std::size_t n, U* o) {
    constexpr std::uint32_t kCap = 0x110000;
    const EntityTable& table = EntityTable::get();
    bool changed = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n;) {
        if (s[p] != '&') {
            o[w++] = s[p++];
            continue;
        }
        std::size_t q = p + 1;
        if (q < n && s[q] == '#') {
            std::size_t r = q + 1, e = r;
            std::uint32_t num = 0;
            if (r < n && is_digit(s[r])) {
                for (; e < n && is_digit(s[e]); ++e)
                    num = std::min<std::uint32_t>(num * 10 + (s[e] - '0'), kCap);
                if (e - r > kSafeDecimalDigits) return kUnescapeFallback;
            } else if (r + 1 < n && (s[r] == 'x' || s[r] == 'X') && hex_value(s[r + 1]) >= 0) {
                for (e = r + 1; e < n && hex_value(s[e]) >= 0; ++e)
                    num = std::min<std::uint32_t>(num * 16 + hex_value(s[e]), kCap);
            } else {
                o[w++] = s[p++];  // "&#" not followed by a number: no match here
                continue;
            }
            if (e < n && s[e] == ';') ++e;
            w += emit_charref(num, o + w);
            p = e;
            changed = true;
            continue;
        }
        // Named: up to 32 characters outside "\t\n\f <&#;", then an optional ";".
        std::size_t e = q;
        while (e < n && e - q < 32) {
            U c = s[e];
            if (c == '\t' || c == '\n' || c == '\f' || c == ' ' || c == '<' || c == '&' ||
                c == '#' || c == ';')
                break;
            ++e;
        }
        if (e == q) {
            o[w++] = s[p++];
            continue;
        }
        if (e < n && s[e] == ';') ++e;
        const std::size_t len = e - q;  // the name with its ";" if any
        char name[34];
        std::size_t ascii = 0;
        while (ascii < len && s[q + ascii] < 0x80) {
            name[ascii] = char(s[q + ascii]);
            ++ascii;
        }
        const clean_tables::Entity* hit = nullptr;
        std::size_t used = 0;
        if (ascii == len && (hit = table.find(std::string_view(name, len)))) {
            used = len;
        } else {
            // The longest prefix of at least two characters that is a name.
            for (std::size_t x = std::min(len - 1, ascii); x >= 2; --x) {
                if ((hit = table.find(std::string_view(name, x)))) {
                    used = x;
                    break;
                }
            }
        }
        if (hit) {
            for (int i = 0; i < hit->value_len; ++i) o[w++] = hit->value[i];
            std::copy(s + q + used, s + e, o + w);
            w += e - q - used;
            changed = true;
        } else {
            std::copy(s + p, s + e, o + w);
            w += e - p;
        }
        p = e;
    }
    return changed ? w : npos;
}

// Remove every match of
//   <.*?>|&([a-z0-9]+|#x[0-9]{1,6}|#x[0-9a-f]{1,6});|[\t\n\r]
// (no flags). The alternatives start with different characters.
//  - "<.*?>": the lazy body stops at the first ">" after the "<"; "." does not
//    cross a newline, so the match fails when a "\n" (or the end) comes first.
//  - "&[a-z0-9]+;": the greedy run must be followed by ";"; a shorter run
//    would leave a letter or digit where ";" must be.
//  - "&#x[0-9a-f]{1,6};" (which covers the [0-9]{1,6} variant): one to six
//    hex digits, the longest run up to six, then ";"; a seventh digit fails.
inline std::size_t remove_cleanr(const U* s, std::size_t n, U* o) {
    auto next_stop = next_finder(s, n, [](const U* t, std::size_t, std::size_t i) {
        return t[i] == '>' || t[i] == '\n';
    });
    bool changed = false;
    std::size_t w = 0;
    for (std::size_t p = 0; p < n;) {
        U c = s[p];
        if (c == '<') {
            std::size_t g = next_stop(p + 1);
            if (g != npos && s[g] == '>') {
                p = g + 1;
                changed = true;
                continue;
            }
        } else if (c == '&') {
            std::size_t q = p + 1;
            if (q < n && is_lower_alnum(s[q])) {
                std::size_t e = q;
                while (e < n && is_lower_alnum(s[e])) ++e;
                if (e < n && s[e] == ';') {
                    p = e + 1;
                    changed = true;
                    continue;
                }
            } else if (q + 1 < n && s[q] == '#' && s[q + 1] == 'x') {
                std::size_t r = q + 2, e = r;
                while (e < n && e - r < 7 && is_lower_hex(s[e])) ++e;
                if (e > r && e - r <= 6 && e < n && s[e] == ';') {
                    p = e + 1;
                    changed = true;
                    continue;
                }
            }
        } else if (c == '\t' || c == '\n' || c == '\r') {
            ++p;
            changed = true;
            continue;
        }
        o[w++] = c;
        ++p;
    }
    return changed ? w : npos;
}

// ---------------------------------------------------------------------------
// The whole pipeline
// ---------------------------------------------------------------------------

// Two buffers, kept between calls while they are small.
struct Scratch {
    Buf a, b;
    bool busy = false;
};

constexpr std::size_t kKeepCapacity = 1 << 16;

struct Outcome {
    PyObject* result = nullptr;  // new reference, or nullptr
    bool fallback = false;       // nullptr without an error: use the interpreter's path
};

// Clean an exact str. `normalize` is unicodedata.normalize, `nfkd` the str "NFKD".
inline Outcome clean_string(PyObject* text, PyObject* normalize, PyObject* nfkd) {
    Outcome out;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return out;
#endif
    const std::size_t n0 = (std::size_t)PyUnicode_GET_LENGTH(text);
    if (n0 == 0) {
        out.result = PyUnicode_New(0, 0);
        return out;
    }
    static Scratch shared;
    Scratch local;
    Scratch& sc = shared.busy ? local : shared;
    sc.busy = true;
    struct Done {
        Scratch& sc;
        ~Done() {
            sc.busy = false;
            if (sc.a.cap > kKeepCapacity) sc.a.release();
            if (sc.b.cap > kKeepCapacity) sc.b.release();
        }
    } done{sc};
    sc.a.reserve(n0);
    sc.b.reserve(n0);

    // Copy in, noting which stages can have work to do.
    bool amp = false, lt = false, star = false, controls = false, surrogates = false;
    {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        U* a = sc.a.p.get();
        for (std::size_t i = 0; i < n0; ++i) {
            U c = PyUnicode_READ(kind, data, i);
            a[i] = c;
            if (c < 0x80) {
                amp |= c == '&';
                lt |= c == '<';
                star |= c == '*';
                controls |= c == '\r' || c == '\n' || c == '\t';
            } else {
                controls |= c == 0x99;
                surrogates |= c >= 0xD800 && c <= 0xDFFF;
            }
        }
        sc.a.n = n0;
    }
    bool changed = false;
    auto stage = [&](auto fn) {
        std::size_t m = fn(sc.a.p.get(), sc.a.n, sc.b.p.get());
        if (m == npos || m == kUnescapeFallback) return m;
        std::swap(sc.a, sc.b);
        sc.a.n = m;
        changed = true;
        return m;
    };

    if (amp) {
        stage(sub_gt_lt_amp);
        stage(sub_nbsp);
        lt = true;  // "&lt;" may have made a "<"
    }
    if (controls) stage(sub_c99_controls);
    if (lt) {
        stage([](const U* s, std::size_t n, U* o) {
            return remove_blocks(s, n, o, "<script", true, "</script>", false);
        });
    }
    if (star) {
        stage([](const U* s, std::size_t n, U* o) {
            return remove_blocks(s, n, o, "* style specs start", true, "style specs end", true);
        });
    }
    if (lt) {
        stage([](const U* s, std::size_t n, U* o) {
            return remove_blocks(s, n, o, "<style", true, "</style>", false);
        });
        stage([](const U* s, std::size_t n, U* o) {
            return remove_blocks(s, n, o, "<!--", false, "-->", false);
        });
        stage(remove_tags);
    }
    stage([](const U* s, std::size_t n, U* o) { return collapse_spaces(s, n, o, false); });
    // text_cleaner
    if (surrogates) stage(drop_surrogates);
    if (amp) {
        if (stage(unescape) == kUnescapeFallback) {
            out.fallback = true;
            return out;
        }
    }
    if (lt || amp) stage(remove_cleanr);
    stage([](const U* s, std::size_t n, U* o) { return collapse_spaces(s, n, o, true); });

    const U* r = sc.a.p.get();
    const std::size_t n = sc.a.n;
    U maxc = 0;
    for (std::size_t i = 0; i < n; ++i) maxc = std::max(maxc, r[i]);
    PyObject* cleaned;
    if (!changed) {
        Py_INCREF(text);
        cleaned = text;
    } else {
        cleaned = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, r, (Py_ssize_t)n);
        if (!cleaned) return out;
    }
    if (maxc < 0x80) {  // NFKD leaves ASCII as it is; the text is already stripped
        out.result = cleaned;
        return out;
    }
    PyObject* norm = PyObject_CallFunctionObjArgs(normalize, nfkd, cleaned, nullptr);
    Py_DECREF(cleaned);
    if (!norm) return out;
    // The "utf_8_sig" round trip only drops surrogates, and none are left.
    // Final strip().
    const Py_ssize_t len = PyUnicode_GET_LENGTH(norm);
    Py_ssize_t lo = 0, hi = len;
    while (lo < hi && is_space(PyUnicode_READ_CHAR(norm, lo))) ++lo;
    while (hi > lo && is_space(PyUnicode_READ_CHAR(norm, hi - 1))) --hi;
    if (lo == 0 && hi == len) {
        out.result = norm;
    } else {
        out.result = PyUnicode_Substring(norm, lo, hi);
        Py_DECREF(norm);
    }
    return out;
}

}  // namespace clean_text

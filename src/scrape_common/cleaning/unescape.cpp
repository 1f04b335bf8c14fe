// html.unescape for the text cleaner: see unescape.h.
#include "unescape.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "clean_html_tables.h"  // made at build time by tools/gen_html_tables.py

namespace scrape {
namespace cleaning {
namespace {

// The names of html5 (with and without their ";") in an open-addressed table
// of pointers, with at least twice as many places as names; a name's hash
// mixes its length and its first and last eight bytes.
class EntityTable {
public:
    static const EntityTable& get() {
        static const EntityTable table;
        return table;
    }
    const clean_tables::Entity* find(std::string_view name) const {
        for (std::size_t i = hash(name);; i = (i + 1) & kMask) {
            const clean_tables::Entity* e = slots_[i];
            if (!e) return nullptr;
            if (e->name_len == name.size() && std::memcmp(e->name, name.data(), name.size()) == 0)
                return e;
        }
    }

private:
    static constexpr std::size_t kSlots = 8192, kMask = kSlots - 1;
    static_assert(std::size_t{clean_tables::kEntityCount} * 2 <= kSlots, "a sparse table");

    static std::size_t hash(std::string_view name) {
        std::uint64_t head = 0, tail = 0;
        const std::size_t n = name.size();
        std::memcpy(&head, name.data(), std::min<std::size_t>(n, 8));
        if (n > 8) std::memcpy(&tail, name.data() + n - 8, 8);
        std::uint64_t h = (head ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ n) * 0x9E3779B97F4A7C15ull;
        return (std::size_t)(h >> 40) & kMask;
    }
    EntityTable() : slots_(kSlots, nullptr) {
        for (const auto& e : clean_tables::kEntities) {
            std::size_t i = hash(std::string_view(e.name, e.name_len));
            while (slots_[i]) i = (i + 1) & kMask;
            slots_[i] = &e;
        }
    }
    std::vector<const clean_tables::Entity*> slots_;
};

// The numbers below 0x10000 that either table of emit_charref holds, a bit
// each: the others (but surrogates) stand for themselves.
inline const std::uint64_t* charref_specials() {
    static const std::vector<std::uint64_t> bits = [] {
        std::vector<std::uint64_t> b(0x10000 / 64);
        auto mark = [&b](std::uint32_t num) {
            if (num < 0x10000) b[num / 64] |= std::uint64_t(1) << (num % 64);
        };
        for (int i = 0; i < clean_tables::kCharrefCount; ++i) mark(clean_tables::kCharrefs[i].num);
        for (int i = 0; i < clean_tables::kInvalidCodepointCount; ++i)
            mark(clean_tables::kInvalidCodepoints[i]);
        return b;
    }();
    return bits.data();
}

// The replacement of a numeric reference of value `num` (capped above
// 0x10FFFF), as html._replace_charref gives it.
inline std::size_t emit_charref(std::uint32_t num, U* o) {
    if (num < 0x10000 && num - 0xD800u >= 0x800u &&
        !((charref_specials()[num / 64] >> (num % 64)) & 1)) {
        o[0] = num;
        return 1;
    }
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
// Writes the code point c to o[w..] in the width of C (UTF-16 for two
// bytes; a byte must be able to hold it).
template <class C>
inline void put_code_point(U c, C* o, std::size_t& w) {
    if constexpr (sizeof(C) == 2) {
        if (c > 0xFFFF) {
            o[w++] = (C)(0xD800 | ((c - 0x10000) >> 10));
            o[w++] = (C)(0xDC00 | (c & 0x3FF));
            return;
        }
    }
    o[w++] = (C)c;
}

// The digits of a numeric reference after "&#" (decimal, or hexadecimal
// after "x"/"X"), from s[r]: their value capped at one past the last code
// point in *num, and in *e the end of the reference, its ";" included.
enum class Digits { kNone, kRead, kTooMany };
template <class C>
Digits read_number(const C* s, std::size_t r, std::size_t n, std::uint32_t* num, std::size_t* e) {
    constexpr std::uint32_t kCap = 0x110000;
    std::size_t i = r;
    std::uint32_t v = 0;
    if (r < n && is_digit(s[r])) {
        for (; i < n && is_digit(s[i]); ++i)
            v = std::min<std::uint32_t>(v * 10 + (s[i] - '0'), kCap);
        if (i - r > kSafeDecimalDigits) return Digits::kTooMany;
    } else if (r + 1 < n && (s[r] == 'x' || s[r] == 'X') && hex_value(s[r + 1]) >= 0) {
        for (i = r + 1; i < n && hex_value(s[i]) >= 0; ++i)
            v = std::min<std::uint32_t>(v * 16 + hex_value(s[i]), kCap);
    } else {
        return Digits::kNone;
    }
    if (i < n && s[i] == ';') ++i;
    *num = v;
    *e = i;
    return Digits::kRead;
}

inline bool ends_name(U c) {
    return c == '\t' || c == '\n' || c == '\f' || c == ' ' || c == '<' || c == '&' || c == '#' ||
           c == ';';
}

// The entity that the name s[0, len) (its ";" included, if any) stands for:
// the whole name, or else its longest prefix of at least two characters
// that is a name; *used is the length taken. Null when none is.
template <class C>
const clean_tables::Entity* match_name(const EntityTable& table, const C* s, std::size_t len,
                                       std::size_t* used) {
    char name[34];
    std::size_t ascii = 0;
    while (ascii < len && s[ascii] < 0x80) {
        name[ascii] = char(s[ascii]);
        ++ascii;
    }
    if (ascii == len) {
        if (const clean_tables::Entity* hit = table.find(std::string_view(name, len))) {
            *used = len;
            return hit;
        }
    }
    for (std::size_t x = std::min(len - 1, ascii); x >= 2; --x) {
        if (const clean_tables::Entity* hit = table.find(std::string_view(name, x))) {
            *used = x;
            return hit;
        }
    }
    return nullptr;
}

}  // namespace

template <class C, class O>
std::size_t unescape(const C* s, std::size_t n, O* o, bool* spaced, UnescapeAt& at) {
    const EntityTable& table = EntityTable::get();
    bool changed = at.changed;
    std::size_t w = at.w, copied = at.copied;
    auto flush = [&](std::size_t upto) {
        std::copy(s + copied, s + upto, o + w);
        w += upto - copied;
    };
    // Before the replacement of the reference at p is written.
    auto stop_at = [&](std::size_t p) {
        at = UnescapeAt{p, copied, w, changed};
        return kNeedsWider;
    };
    for (std::size_t p = at.p; (p = find_any(s, p, n, kAmpChar)) < n;) {
        std::size_t q = p + 1;
        if (q < n && s[q] == '#') {
            std::size_t e;
            std::uint32_t num;
            const Digits digits = read_number(s, q + 1, n, &num, &e);
            if (digits == Digits::kTooMany) return kUnescapeFallback;
            if (digits == Digits::kNone) {
                ++p;  // "&#" not followed by a number: no match here
                continue;
            }
            U value[2];
            const std::size_t k = emit_charref(num, value);
            if (sizeof(O) == 1 && ((k > 0 && value[0] > 0xFF) || (k == 2 && value[1] > 0xFF)))
                return stop_at(p);
            flush(p);
            *spaced |= k == 0 || is_space(value[0]) || (k == 2 && is_space(value[1]));
            for (std::size_t i = 0; i < k; ++i) put_code_point(value[i], o, w);
            copied = p = e;
            changed = true;
            continue;
        }
        // Named: up to 32 characters outside "\t\n\f <&#;", then an optional ";".
        std::size_t e = q;
        while (e < n && e - q < 32 && !ends_name(s[e])) ++e;
        if (e == q) {
            ++p;
            continue;
        }
        if (e < n && s[e] == ';') ++e;
        std::size_t used = 0;
        const clean_tables::Entity* hit = match_name(table, s + q, e - q, &used);
        if (hit) {
            if constexpr (sizeof(O) == 1) {
                for (int i = 0; i < hit->value_len; ++i)
                    if (hit->value[i] > 0xFF) return stop_at(p);
            }
            flush(p);
            for (int i = 0; i < hit->value_len; ++i) {
                *spaced |= is_space(hit->value[i]);
                put_code_point(hit->value[i], o, w);
            }
            copied = q + used;  // the rest of the name stays
            changed = true;
        }
        p = e;  // the match is consumed either way
    }
    if (!changed) return npos;
    flush(n);
    return w;
}

// The widths the cleaner unescapes in: each width into itself, and 1-byte
// text into UTF-16 once a reference makes a character beyond U+00FF.
template std::size_t unescape(const std::uint8_t*, std::size_t, std::uint8_t*, bool*, UnescapeAt&);
template std::size_t unescape(const std::uint8_t*, std::size_t, std::uint16_t*, bool*, UnescapeAt&);
template std::size_t unescape(const std::uint16_t*, std::size_t, std::uint16_t*, bool*,
                              UnescapeAt&);
template std::size_t unescape(const U*, std::size_t, U*, bool*, UnescapeAt&);

}  // namespace cleaning
}  // namespace scrape

// Canonical JSON text of a document made of exact built-in types, byte for
// byte the text that json.dumps(doc, sort_keys=True) gives for it.
//
// The encoder only handles what it can reproduce without running any code of
// the caller's: dict, list, tuple, str, int, float, bool and None, exactly
// those types. Everything else (another type anywhere, a key that is not a
// str, a container met again on its own path, nesting close to the recursion
// limit, an int too long for its repr) makes it answer `fallback`, and the
// caller lets the json module serialise the document so that the same text or
// the same exception comes out.
#pragma once

#include "../../capi/pystr.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../simd/vec128.h"

namespace scrape {
namespace hashing {
namespace cjson {

enum class Status { kOk, kFallback, kError };

// A growable array of trivially copyable T with its first N slots inline:
// the output text, and the encoder's bookkeeping, without allocation for
// documents of usual shape.
template <class T, size_t N>
class Stack {
public:
    Stack() = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    ~Stack() {
        if (data_ != inline_) std::free(data_);
    }

    // Room for n more slots at the end; nullptr with MemoryError set when
    // the array cannot grow. Write there, then commit() the new end.
    T* room(size_t n) {
        if (cap_ - size_ >= n) return data_ + size_;
        return grow(n);
    }
    void commit(const T* end) { size_ = (size_t)(end - data_); }
    // n more slots at the end, uninitialised.
    T* push(size_t n) {
        T* top = room(n);
        if (top) size_ += n;
        return top;
    }
    void pop() { --size_; }
    void resize_down(size_t n) { size_ = n; }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }

private:
    T* grow(size_t n) {
        if (n > (size_t)PY_SSIZE_T_MAX / sizeof(T) - size_) {
            PyErr_NoMemory();
            return nullptr;
        }
        size_t want = std::max(size_ + n, cap_ * 2);
        void* p = data_ == inline_ ? std::malloc(want * sizeof(T))
                                   : std::realloc(data_, want * sizeof(T));
        if (!p) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (data_ == inline_) std::memcpy(p, inline_, size_ * sizeof(T));
        data_ = static_cast<T*>(p);
        cap_ = want;
        return data_ + size_;
    }

    T inline_[N];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t cap_ = N;
};

// The output text, its first kilobytes inline.
using Buffer = Stack<char, 2048>;

namespace detail {

inline char* put(char* p, const char* s, size_t n) {
    std::memcpy(p, s, n);
    return p + n;
}

// For each ASCII character: 0 when it stands for itself in a JSON string,
// else the letter of its short escape, or 'u' for a \u00XX escape.
struct AsciiTable {
    char esc[128];
    constexpr AsciiTable() : esc() {
        for (int c = 0; c < 128; ++c) esc[c] = (c < 0x20 || c == 0x7f) ? 'u' : 0;
        esc[(int)'"'] = '"';
        esc[(int)'\\'] = '\\';
        esc[(int)'\b'] = 'b';
        esc[(int)'\f'] = 'f';
        esc[(int)'\n'] = 'n';
        esc[(int)'\r'] = 'r';
        esc[(int)'\t'] = 't';
    }
};
constexpr AsciiTable kAscii{};

inline char* put_u(char* p, Py_UCS4 c) {
    static const char hex[] = "0123456789abcdef";
    p[0] = '\\';
    p[1] = 'u';
    p[2] = hex[(c >> 12) & 15];
    p[3] = hex[(c >> 8) & 15];
    p[4] = hex[(c >> 4) & 15];
    p[5] = hex[c & 15];
    return p + 6;
}

// One character, escaped as json's ASCII encoder writes it.
inline char* put_char(char* p, Py_UCS4 c) {
    if (c < 128) {
        char e = kAscii.esc[c];
        if (!e) {
            *p++ = (char)c;
        } else if (e == 'u') {
            p = put_u(p, c);
        } else {
            p[0] = '\\';
            p[1] = e;
            p += 2;
        }
    } else if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        p = put_u(p, 0xd800 | ((v >> 10) & 0x3ff));
        p = put_u(p, 0xdc00 | (v & 0x3ff));
    } else {
        p = put_u(p, c);
    }
    return p;
}

#if NX_VEC128
// The k < 16 bytes at s, zero padded to 16, read in at most four loads that
// stay within them (x86 is little endian).
inline simd::reg load_tail(const unsigned char* s, size_t k) {
    uint64_t lo = 0, hi = 0;
    if (k >= 8) {
        std::memcpy(&lo, s, 8);
        if (k > 8) {
            std::memcpy(&hi, s + k - 8, 8);  // ends at s + k; s[8..k) are its last bytes
            hi >>= 8 * (16 - k);
        }
    } else if (k >= 4) {
        uint32_t first, last;
        std::memcpy(&first, s, 4);
        std::memcpy(&last, s + k - 4, 4);
        lo = first | (k > 4 ? (uint64_t)(last >> (8 * (8 - k))) << 32 : 0);
    } else if (k > 0) {
        lo = s[0] | (uint64_t)s[k / 2] << (8 * (k / 2)) | (uint64_t)s[k - 1] << (8 * (k - 1));
    }
    return simd::from64(lo, hi);
}
#endif

// The characters of a one-byte str, escaped. The output has room for six
// bytes per character plus 16.
inline char* put_narrow(char* p, const unsigned char* d, size_t n) {
    size_t i = 0;
#if NX_VEC128
    // Sixteen characters at a time: copied as they are, then the first one
    // that needs an escape (a control character, '"', '\\', DEL, or above
    // 0x7f: the signed comparison with 0x20 catches both ends) is written
    // over its copy.
    const simd::reg space = simd::set8(0x20), quote = simd::set8('"');
    const simd::reg backslash = simd::set8('\\'), del = simd::set8(0x7f);
    while (i < n) {
        const size_t left = n - i;
        const simd::reg x = left >= 16 ? simd::load(d + i) : load_tail(d + i, left);
        simd::reg esc = simd::or_(simd::lt_s8(x, space), simd::eq8(x, quote));
        esc = simd::or_(esc, simd::or_(simd::eq8(x, backslash), simd::eq8(x, del)));
        unsigned mask = (unsigned)simd::mask(esc);
        if (left < 16) mask &= (1u << left) - 1;
        simd::store(p, x);
        if (!mask) {
            const size_t step = left < 16 ? left : 16;
            p += step;
            i += step;
            continue;
        }
        const unsigned skip = (unsigned)__builtin_ctz(mask);
        p = put_char(p + skip, d[i + skip]);
        i += skip + 1;
    }
#else
    for (; i < n; ++i) {
        const unsigned char c = d[i];
        if (c < 128 && !kAscii.esc[c])
            *p++ = (char)c;
        else
            p = put_char(p, c);
    }
#endif
    return p;
}

// The characters of a two- or four-byte str, escaped.
template <class C>
inline char* put_wide(char* p, const C* d, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = d[i];
        if (c < 128 && !kAscii.esc[c])
            *p++ = (char)c;
        else
            p = put_char(p, c);
    }
    return p;
}

// float.__repr__ of a finite double in fixed notation whose shortest digits
// have at most 15 places after the point (prices, measures, rounded values),
// found with a few exact operations; nullptr for any other double, which
// put_double handles.
//
// For d = 0, 1, ... the candidate is m / 10^d with m the integer nearest to
// |v| * 10^d. m and 10^d are exact doubles and the division is correctly
// rounded, so the candidate reads back as v exactly when m / 10^d == v. While
// 10^-d exceeds the gap between v and its neighbours, at most one decimal of
// d places reads back as v; the first d that has one therefore gives the
// shortest digits, which are the ones repr writes. (Should the product round
// m to the wrong integer at some d, the decimal comes back at d + 1 with a
// trailing zero, which is dropped.) From 1e-4 on repr uses fixed notation,
// and below 2^53 every m is exact.
#if FLT_EVAL_METHOD == 0
inline char* put_short_double(char* p, double v) {
    const double a = std::fabs(v);
    if (a == 0) return put(p, std::signbit(v) ? "-0.0" : "0.0", std::signbit(v) ? 4 : 3);
    constexpr double kExact = 9007199254740992.0;  // 2^53
    if (!(a >= 1e-4 && a < kExact)) return nullptr;
    static constexpr double kScale[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    static constexpr uint64_t kScaleInt[] = {1ull,
                                             10ull,
                                             100ull,
                                             1000ull,
                                             10000ull,
                                             100000ull,
                                             1000000ull,
                                             10000000ull,
                                             100000000ull,
                                             1000000000ull,
                                             10000000000ull,
                                             100000000000ull,
                                             1000000000000ull,
                                             10000000000000ull,
                                             100000000000000ull,
                                             1000000000000000ull};
    // The gap to the next double up (v is normal here).
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const uint64_t gap_bits = (bits & 0x7ff0000000000000ull) - (52ull << 52);
    double gap;
    std::memcpy(&gap, &gap_bits, sizeof gap);
    for (int d = 0; d < 16; ++d) {
        const double scaled = a * kScale[d];
        if (gap * kScale[d] >= 1.0 || scaled >= kExact) return nullptr;
        // Rounded half up; where the sum itself rounds, the test below fails.
        uint64_t m = (uint64_t)(scaled + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        if ((double)m / kScale[d] != a) continue;
        uint64_t whole = m / kScaleInt[d], frac = m % kScaleInt[d];
        int places = d;
        while (places > 0 && frac % 10 == 0) frac /= 10, --places;
        if (v < 0) *p++ = '-';
        p = std::to_chars(p, p + 20, whole).ptr;
        *p++ = '.';
        if (places == 0) {
            *p++ = '0';
            return p;
        }
        for (int k = places - 1; k >= 0; --k, frac /= 10) p[k] = (char)('0' + frac % 10);
        return p + places;
    }
    return nullptr;
}
#else
inline char* put_short_double(char*, double) { return nullptr; }
#endif

// float.__repr__ of a finite double: the shortest digits that read back as
// the same double, in fixed notation when the decimal point falls within
// (-4, 16] places of the first digit, else as d.ddde+XX. At most 25 bytes;
// nullptr with an exception set when the text cannot be made.
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
inline char* put_double(char* p, double v) {
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* s = sci;
    if (*s == '-') {
        *p++ = '-';
        ++s;
    }
    char digits[24];
    int n = 0;
    const char* e = s;
    for (; e < r.ptr && *e != 'e'; ++e)
        if (*e != '.') digits[n++] = *e;
    int exp = 0;
    std::from_chars(e + 1 + (e[1] == '+'), r.ptr, exp);
    int decpt = exp + 1;
    if (decpt <= -4 || decpt > 16) {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            p = put(p, digits + 1, (size_t)(n - 1));
        }
        *p++ = 'e';
        *p++ = exp < 0 ? '-' : '+';
        int a = exp < 0 ? -exp : exp;
        if (a < 10) *p++ = '0';
        auto w = std::to_chars(p, p + 4, a);
        return w.ptr;
    }
    if (decpt <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -decpt; ++i) *p++ = '0';
        return put(p, digits, (size_t)n);
    }
    if (decpt < n) {
        p = put(p, digits, (size_t)decpt);
        *p++ = '.';
        return put(p, digits + decpt, (size_t)(n - decpt));
    }
    p = put(p, digits, (size_t)n);
    for (int i = n; i < decpt; ++i) *p++ = '0';
    *p++ = '.';
    *p++ = '0';
    return p;
}
#else
// Without the shortest-digits to_chars: the interpreter's own float repr.
inline char* put_double(char* p, double v) {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return nullptr;
    size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    PyMem_Free(text);
    return p + n;
}
#endif

// A pair of a dict being encoded. For a one-byte key, `head` holds its first
// eight characters, big endian and zero padded, so that most comparisons of
// such keys are one integer comparison.
struct Item {
    uint64_t head;
    PyObject* key;
    PyObject* value;
};

inline uint64_t head_of(const unsigned char* s, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && defined(__GNUC__)
    uint64_t h = 0;
    if (n >= 8) {
        std::memcpy(&h, s, 8);
    } else if (n >= 4) {
        uint32_t lo, hi;  // overlapping, so the bytes they share agree
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, s + n - 4, 4);
        h = lo | ((uint64_t)hi << (8 * (n - 4)));
    } else {
        for (size_t i = 0; i < n; ++i) h |= (uint64_t)s[i] << (8 * i);
    }
    return __builtin_bswap64(h);
#else
    uint64_t h = 0;
    for (size_t i = 0; i < 8; ++i) h = (h << 8) | (i < n ? s[i] : 0);
    return h;
#endif
}

// Code point order of two one-byte keys, as str.__lt__ compares them.
// Different heads order the keys (a zero pad sorts before any byte but NUL,
// and equal heads fall through to the full comparison).
inline bool narrow_less(const Item& a, const Item& b) {
    if (a.head != b.head) return a.head < b.head;
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a.key), lb = PyUnicode_GET_LENGTH(b.key);
    const int c = std::memcmp(PyUnicode_DATA(a.key), PyUnicode_DATA(b.key),
                              (size_t)std::min(la, lb));
    return c != 0 ? c < 0 : la < lb;
}

// Code point order of two keys of any width.
inline bool wide_less(const Item& a, const Item& b) {
    const int ka = PyUnicode_KIND(a.key), kb = PyUnicode_KIND(b.key);
    const void *da = PyUnicode_DATA(a.key), *db = PyUnicode_DATA(b.key);
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a.key), lb = PyUnicode_GET_LENGTH(b.key);
    for (Py_ssize_t i = 0, n = std::min(la, lb); i < n; ++i) {
        const Py_UCS4 ca = PyUnicode_READ(ka, da, i), cb = PyUnicode_READ(kb, db, i);
        if (ca != cb) return ca < cb;
    }
    return la < lb;
}

}  // namespace detail

class Encoder {
public:
    explicit Encoder(Buffer& out) : out_(out) {}

    // Appends the text of `obj` to the buffer. On kError an exception is set.
    Status encode(PyObject* obj) {
        // Keep a margin below the recursion limit for the frames that the
        // json module spends before its own encoder runs: wherever json
        // could fail on depth, this encoder gives up first.
        int entered = 0;
        Status st = Status::kOk;
        for (; entered < kMargin; ++entered) {
            if (Py_EnterRecursiveCall("")) {
                st = Status::kFallback;
                break;
            }
        }
        if (st == Status::kOk) st = value(obj, 0);
        for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
        if (st == Status::kFallback && PyErr_Occurred()) {
            // A recursion or repr failure that the json module will meet too.
            PyErr_Clear();
        }
        return st;
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    // Frames of interpreted code no longer count against the limit that bounds
    // json's nesting (the fixed C recursion limit). json enters one level to
    // call its encoder object and one per container, as this encoder does:
    // it needs no cap of its own, and giving up early would leave documents
    // that json encodes to a json.dumps called from C, which fails sooner.
    static constexpr int kMargin = 1;
    static constexpr int kMaxDepth = INT_MAX;
#else
    static constexpr int kMargin = 16;
    static constexpr int kMaxDepth = 1000;
#endif

    static Status no_memory() {
        PyErr_NoMemory();
        return Status::kError;
    }

    Status text(const char* s, size_t n) {
        char* p = out_.room(n);
        if (!p) return Status::kError;
        out_.commit(detail::put(p, s, n));
        return Status::kOk;
    }

    Status value(PyObject* obj, int depth) {
        if (obj == Py_None) return text("null", 4);
        if (obj == Py_True) return text("true", 4);
        if (obj == Py_False) return text("false", 5);
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyUnicode_Type) return string(obj);
        if (t == &PyLong_Type) return integer(obj);
        if (t == &PyFloat_Type) return floating(obj);
        if (t != &PyList_Type && t != &PyTuple_Type && t != &PyDict_Type) return Status::kFallback;
        if (depth >= kMaxDepth) return Status::kFallback;
        for (size_t i = 0; i < path_.size(); ++i)
            if (path_.data()[i] == obj) return Status::kFallback;
        PyObject** top = path_.push(1);
        if (!top) return Status::kError;
        *top = obj;
        Status st = Status::kFallback;
        if (!Py_EnterRecursiveCall("")) {
            st = t == &PyDict_Type ? dict(obj, depth + 1) : array(obj, depth + 1);
            Py_LeaveRecursiveCall();
        }
        path_.pop();
        return st;
    }

    // The text of the str s, between the literals `before` and `after`.
    template <size_t B = 1, size_t A = 1>
    Status string(PyObject* s, const char (&before)[B] = "", const char (&after)[A] = "") {
        if (nx::ready(s) < 0) return Status::kError;
        const size_t n = (size_t)PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        // At most six bytes per code point, twelve for astral ones, plus the
        // quotes, the literals and the slack of the 16-byte copies.
        const size_t per = kind == PyUnicode_4BYTE_KIND ? 12 : 6;
        constexpr size_t extra = 18 + B + A;
        if (n > ((size_t)PY_SSIZE_T_MAX - extra) / per) return no_memory();
        char* p = out_.room(extra + n * per);
        if (!p) return Status::kError;
        p = detail::put(p, before, B - 1);
        *p++ = '"';
        const void* d = PyUnicode_DATA(s);
        if (kind == PyUnicode_1BYTE_KIND)
            p = detail::put_narrow(p, static_cast<const unsigned char*>(d), n);
        else if (kind == PyUnicode_2BYTE_KIND)
            p = detail::put_wide(p, static_cast<const Py_UCS2*>(d), n);
        else
            p = detail::put_wide(p, static_cast<const Py_UCS4*>(d), n);
        *p++ = '"';
        out_.commit(detail::put(p, after, A - 1));
        return Status::kOk;
    }

    Status integer(PyObject* obj) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return Status::kError;
            char* p = out_.room(24);
            if (!p) return Status::kError;
            out_.commit(std::to_chars(p, p + 24, v).ptr);
            return Status::kOk;
        }
        // Long ints: the interpreter's own repr, which enforces the digit
        // limit; when it refuses, json.dumps raises the same error.
        nx::Ref repr = nx::Ref::steal(PyLong_Type.tp_repr(obj));
        if (!repr) return Status::kFallback;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &len);
        if (!utf8) return Status::kError;
        return text(utf8, (size_t)len);
    }

    Status floating(PyObject* obj) {
        double v = PyFloat_AS_DOUBLE(obj);
        if (std::isnan(v)) return text("NaN", 3);
        if (std::isinf(v)) return v > 0 ? text("Infinity", 8) : text("-Infinity", 9);
        char* p = out_.room(32);
        if (!p) return Status::kError;
        char* end = detail::put_short_double(p, v);
        if (!end) end = detail::put_double(p, v);
        if (!end) return Status::kError;
        out_.commit(end);
        return Status::kOk;
    }

    Status array(PyObject* seq, int depth) {
        // List or tuple; no code of the caller's runs while it is read, so
        // its size cannot change under the loop.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject** items = PySequence_Fast_ITEMS(seq);
        if (n == 0) return text("[]", 2);
        if (text("[", 1) != Status::kOk) return Status::kError;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i && text(", ", 2) != Status::kOk) return Status::kError;
            Status st = value(items[i], depth);
            if (st != Status::kOk) return st;
        }
        return text("]", 1);
    }

    Status dict(PyObject* d, int depth) {
        const size_t n = (size_t)PyDict_GET_SIZE(d);
        if (n == 0) return text("{}", 2);
        // The pairs of this dict go on top of the shared item stack; nested
        // dicts push theirs above (which may move the stack) and pop them
        // before this one resumes.
        const size_t base = items_.size();
        detail::Item* items = items_.push(n);
        if (!items) return Status::kError;
        bool narrow = true;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
            if (Py_TYPE(k) != &PyUnicode_Type || nx::ready(k) < 0) {
                items_.resize_down(base);
                return PyErr_Occurred() ? Status::kError : Status::kFallback;
            }
            items[i].key = k;
            items[i].value = v;
            if (PyUnicode_KIND(k) == PyUnicode_1BYTE_KIND)
                items[i].head = detail::head_of(
                    static_cast<const unsigned char*>(PyUnicode_DATA(k)),
                    (size_t)PyUnicode_GET_LENGTH(k));
            else
                narrow = false;
        }
        // The keys are distinct strs, so ordering the pairs is ordering the keys.
        if (narrow)
            std::sort(items, items + n, [](const detail::Item& a, const detail::Item& b) {
                return detail::narrow_less(a, b);
            });
        else
            std::sort(items, items + n, [](const detail::Item& a, const detail::Item& b) {
                return detail::wide_less(a, b);
            });
        Status st = Status::kOk;
        for (size_t i = 0; st == Status::kOk && i < n; ++i) {
            const detail::Item item = items_.data()[base + i];
            st = i == 0 ? string(item.key, "{", ": ") : string(item.key, ", ", ": ");
            if (st == Status::kOk) st = value(item.value, depth);
        }
        items_.resize_down(base);
        if (st != Status::kOk) return st;
        return text("}", 1);
    }

    Buffer& out_;
    Stack<PyObject*, 32> path_;       // the containers being encoded, outermost first
    Stack<detail::Item, 128> items_;  // the sorted pairs of the dicts on the path
};

}  // namespace cjson
}  // namespace hashing
}  // namespace scrape

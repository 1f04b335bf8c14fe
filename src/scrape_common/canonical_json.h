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

#include "../capi/pystr.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace scrape {
namespace cjson {

enum class Status { ok, fallback, error };

// A growable byte buffer with its first kilobytes inline.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_ != inline_) std::free(data_);
    }

    // Room for n more bytes at the end; nullptr with MemoryError set when the
    // buffer cannot grow. Write there, then commit() the new end.
    char* room(size_t n) {
        if (cap_ - size_ >= n) return data_ + size_;
        return grow(n);
    }
    void commit(const char* end) { size_ = (size_t)(end - data_); }

    const char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    char* grow(size_t n) {
        if (n > (size_t)PY_SSIZE_T_MAX - size_) {
            PyErr_NoMemory();
            return nullptr;
        }
        size_t want = std::max(size_ + n, cap_ * 2);
        char* p = data_ == inline_ ? static_cast<char*>(std::malloc(want))
                                   : static_cast<char*>(std::realloc(data_, want));
        if (!p) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (data_ == inline_) std::memcpy(p, inline_, size_);
        data_ = p;
        cap_ = want;
        return data_ + size_;
    }

    char inline_[2048];
    char* data_ = inline_;
    size_t size_ = 0;
    size_t cap_ = sizeof inline_;
};

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

struct Item {
    PyObject* key;
    PyObject* value;
    const void* data;
    Py_ssize_t len;
    int kind;
    uint64_t head;  // one-byte keys: their first 8 bytes, big endian, zero padded
};

inline Item make_item(PyObject* key, PyObject* value) {
    Item it{key, value, PyUnicode_DATA(key), PyUnicode_GET_LENGTH(key), (int)PyUnicode_KIND(key), 0};
    if (it.kind == PyUnicode_1BYTE_KIND) {
        const unsigned char* d = static_cast<const unsigned char*>(it.data);
        Py_ssize_t n = it.len < 8 ? it.len : 8;
        for (Py_ssize_t i = 0; i < 8; ++i) it.head = (it.head << 8) | (i < n ? d[i] : 0);
    }
    return it;
}

// Code point order of two keys, as str.__lt__ compares them.
inline bool key_less(const Item& a, const Item& b) {
    Py_ssize_t n = a.len < b.len ? a.len : b.len;
    if (a.kind == PyUnicode_1BYTE_KIND && b.kind == PyUnicode_1BYTE_KIND) {
        // Different heads order the keys (a zero pad sorts before any byte but
        // NUL, and equal heads fall through to the full comparison).
        if (a.head != b.head) return a.head < b.head;
        int c = n ? std::memcmp(a.data, b.data, (size_t)n) : 0;
        return c != 0 ? c < 0 : a.len < b.len;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ca = PyUnicode_READ(a.kind, a.data, i), cb = PyUnicode_READ(b.kind, b.data, i);
        if (ca != cb) return ca < cb;
    }
    return a.len < b.len;
}

}  // namespace detail

class Encoder {
public:
    explicit Encoder(Buffer& out) : out_(out) {}

    // Appends the text of `obj` to the buffer. On `error` an exception is set.
    Status encode(PyObject* obj) {
        // Keep a margin below the recursion limit for the frames that the
        // json module spends before its own encoder runs: wherever json
        // could fail on depth, this encoder gives up first.
        int entered = 0;
        Status st = Status::ok;
        for (; entered < kMargin; ++entered) {
            if (Py_EnterRecursiveCall("")) {
                st = Status::fallback;
                break;
            }
        }
        if (st == Status::ok) {
            try {
                st = value(obj, 0);
            } catch (const std::bad_alloc&) {
                // Every container still on the path entered one recursion level.
                for (size_t i = 0; i < path_.size(); ++i) Py_LeaveRecursiveCall();
                path_.clear();
                items_.clear();
                PyErr_NoMemory();
                st = Status::error;
            }
        }
        for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
        if (st == Status::fallback && PyErr_Occurred()) {
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

    Status text(const char* s, size_t n) {
        char* p = out_.room(n);
        if (!p) return Status::error;
        out_.commit(detail::put(p, s, n));
        return Status::ok;
    }

    Status value(PyObject* obj, int depth) {
        if (obj == Py_None) return text("null", 4);
        if (obj == Py_True) return text("true", 4);
        if (obj == Py_False) return text("false", 5);
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyUnicode_Type) return string(obj);
        if (t == &PyLong_Type) return integer(obj);
        if (t == &PyFloat_Type) return floating(obj);
        if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type) {
            if (depth >= kMaxDepth) return Status::fallback;
            if (std::find(path_.begin(), path_.end(), obj) != path_.end()) return Status::fallback;
            path_.push_back(obj);
            if (Py_EnterRecursiveCall("")) {
                path_.pop_back();
                return Status::fallback;
            }
            Status st = t == &PyDict_Type ? dict(obj, depth + 1) : array(obj, depth + 1);
            Py_LeaveRecursiveCall();
            path_.pop_back();
            return st;
        }
        return Status::fallback;
    }

    Status string(PyObject* s) {
        if (nx::ready(s) < 0) return Status::error;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        // At most six characters per code point, twelve for astral ones.
        size_t per = kind == PyUnicode_4BYTE_KIND ? 12 : 6;
        if ((size_t)n > ((size_t)PY_SSIZE_T_MAX - 2) / per) {
            PyErr_NoMemory();
            return Status::error;
        }
        char* p = out_.room(2 + (size_t)n * per);
        if (!p) return Status::error;
        *p++ = '"';
        if (PyUnicode_IS_ASCII(s)) {
            const unsigned char* d = (const unsigned char*)PyUnicode_DATA(s);
            Py_ssize_t i = 0;
#if defined(__SSE2__)
            // Sixteen characters at a time while none needs an escape: no
            // control character, '"', '\\' or DEL (ASCII, so no byte is
            // above 0x7f and the signed comparison is exact).
            const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"');
            const __m128i backslash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7f);
            for (; i + 16 <= n; i += 16) {
                __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
                __m128i esc = _mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, quote));
                esc = _mm_or_si128(esc, _mm_or_si128(_mm_cmpeq_epi8(x, backslash),
                                                     _mm_cmpeq_epi8(x, del)));
                if (_mm_movemask_epi8(esc)) break;
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), x);
                p += 16;
            }
#endif
            for (; i < n; ++i) {
                unsigned char c = d[i];
                if (!detail::kAscii.esc[c])
                    *p++ = (char)c;
                else
                    p = detail::put_char(p, c);
            }
        } else {
            const void* d = PyUnicode_DATA(s);
            for (Py_ssize_t i = 0; i < n; ++i) p = detail::put_char(p, PyUnicode_READ(kind, d, i));
        }
        *p++ = '"';
        out_.commit(p);
        return Status::ok;
    }

    Status integer(PyObject* obj) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return Status::error;
            char* p = out_.room(24);
            if (!p) return Status::error;
            out_.commit(std::to_chars(p, p + 24, v).ptr);
            return Status::ok;
        }
        // Long ints: the interpreter's own repr, which enforces the digit
        // limit; when it refuses, json.dumps raises the same error.
        nx::Ref repr = nx::Ref::steal(PyLong_Type.tp_repr(obj));
        if (!repr) return Status::fallback;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &len);
        if (!utf8) return Status::error;
        return text(utf8, (size_t)len);
    }

    Status floating(PyObject* obj) {
        double v = PyFloat_AS_DOUBLE(obj);
        if (std::isnan(v)) return text("NaN", 3);
        if (std::isinf(v)) return v > 0 ? text("Infinity", 8) : text("-Infinity", 9);
        char* p = out_.room(32);
        if (!p) return Status::error;
        p = detail::put_double(p, v);
        if (!p) return Status::error;
        out_.commit(p);
        return Status::ok;
    }

    Status array(PyObject* seq, int depth) {
        // List or tuple; no code of the caller's runs while it is read, so
        // its size cannot change under the loop.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject** items = PySequence_Fast_ITEMS(seq);
        if (n == 0) return text("[]", 2);
        if (text("[", 1) != Status::ok) return Status::error;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i && text(", ", 2) != Status::ok) return Status::error;
            Status st = value(items[i], depth);
            if (st != Status::ok) return st;
        }
        return text("]", 1);
    }

    Status dict(PyObject* d, int depth) {
        Py_ssize_t n = PyDict_GET_SIZE(d);
        if (n == 0) return text("{}", 2);
        // The pairs of this dict go on top of the shared item stack; nested
        // dicts push theirs above and pop them before this one resumes.
        size_t base = items_.size();
        items_.reserve(base + (size_t)n);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (Py_TYPE(k) != &PyUnicode_Type) {
                items_.resize(base);
                return Status::fallback;
            }
            if (nx::ready(k) < 0) {
                items_.resize(base);
                return Status::error;
            }
            items_.push_back(detail::make_item(k, v));
        }
        // The keys are distinct strs, so ordering the pairs is ordering the keys.
        std::sort(items_.begin() + (std::ptrdiff_t)base, items_.end(), detail::key_less);
        size_t end = items_.size();
        Status st = text("{", 1);
        for (size_t i = base; st == Status::ok && i < end; ++i) {
            if (i > base) st = text(", ", 2);
            if (st == Status::ok) st = string(items_[i].key);
            if (st == Status::ok) st = text(": ", 2);
            if (st == Status::ok) st = value(items_[i].value, depth);
        }
        items_.resize(base);
        if (st != Status::ok) return st;
        return text("}", 1);
    }

    Buffer& out_;
    std::vector<PyObject*> path_;     // the containers being encoded, outermost first
    std::vector<detail::Item> items_;  // the sorted pairs of the dicts on the path
};

}  // namespace cjson
}  // namespace scrape

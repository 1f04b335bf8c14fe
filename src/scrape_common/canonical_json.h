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

#include "../capi/pyref.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace scrape {
namespace cjson {

enum class Status { ok, fallback, error };

namespace detail {

inline bool ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    (void)s;
    return true;
#endif
}

// Code point order of two ready str objects, as str.__lt__ compares them.
inline bool str_less(PyObject* a, PyObject* b) {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    Py_ssize_t n = la < lb ? la : lb;
    if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
        int c = n ? std::memcmp(da, db, (size_t)n) : 0;
        return c != 0 ? c < 0 : la < lb;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ca = PyUnicode_READ(ka, da, i), cb = PyUnicode_READ(kb, db, i);
        if (ca != cb) return ca < cb;
    }
    return la < lb;
}

inline bool plain_ascii(Py_UCS4 c) { return c >= 0x20 && c <= 0x7e && c != '\\' && c != '"'; }

inline void put_u(std::string& out, Py_UCS4 c) {
    static const char hex[] = "0123456789abcdef";
    char buf[6] = {'\\', 'u', hex[(c >> 12) & 15], hex[(c >> 8) & 15], hex[(c >> 4) & 15],
                   hex[c & 15]};
    out.append(buf, 6);
}

// The escape of one character that is not plain ASCII.
inline void put_escape(std::string& out, Py_UCS4 c) {
    switch (c) {
        case '\\': out.append("\\\\", 2); return;
        case '"': out.append("\\\"", 2); return;
        case '\b': out.append("\\b", 2); return;
        case '\f': out.append("\\f", 2); return;
        case '\n': out.append("\\n", 2); return;
        case '\r': out.append("\\r", 2); return;
        case '\t': out.append("\\t", 2); return;
        default: break;
    }
    if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        put_u(out, 0xd800 | ((v >> 10) & 0x3ff));
        put_u(out, 0xdc00 | (v & 0x3ff));
    } else {
        put_u(out, c);
    }
}

}  // namespace detail

class Encoder {
public:
    explicit Encoder(std::string& out) : out_(out) {}

    // Appends the text of `obj` to the output. On `error` an exception is set.
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
        if (st == Status::ok) st = value(obj, 0);
        for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
        if (st == Status::fallback && PyErr_Occurred()) {
            // A recursion or repr failure that the json module will meet too.
            PyErr_Clear();
        }
        return st;
    }

private:
    static constexpr int kMargin = 16;
    static constexpr int kMaxDepth = 1000;

    Status value(PyObject* obj, int depth) {
        std::string& out = out_;
        if (obj == Py_None) {
            out.append("null", 4);
            return Status::ok;
        }
        if (obj == Py_True) {
            out.append("true", 4);
            return Status::ok;
        }
        if (obj == Py_False) {
            out.append("false", 5);
            return Status::ok;
        }
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyUnicode_Type) return string(obj);
        if (t == &PyLong_Type) return integer(obj);
        if (t == &PyFloat_Type) return floating(obj);
        if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type) {
            if (depth >= kMaxDepth) return Status::fallback;
            if (std::find(path_.begin(), path_.end(), obj) != path_.end()) return Status::fallback;
            if (Py_EnterRecursiveCall("")) return Status::fallback;
            path_.push_back(obj);
            Status st = t == &PyDict_Type ? dict(obj, depth + 1) : array(obj, depth + 1);
            path_.pop_back();
            Py_LeaveRecursiveCall();
            return st;
        }
        return Status::fallback;
    }

    Status string(PyObject* s) {
        if (!detail::ready(s)) return Status::error;
        std::string& out = out_;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        out.push_back('"');
        if (PyUnicode_IS_ASCII(s)) {
            const char* p = (const char*)PyUnicode_DATA(s);
            Py_ssize_t run = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                unsigned char c = (unsigned char)p[i];
                if (detail::plain_ascii(c)) continue;
                out.append(p + run, (size_t)(i - run));
                detail::put_escape(out, c);
                run = i + 1;
            }
            out.append(p + run, (size_t)(n - run));
        } else {
            int kind = PyUnicode_KIND(s);
            const void* d = PyUnicode_DATA(s);
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS4 c = PyUnicode_READ(kind, d, i);
                if (detail::plain_ascii(c))
                    out.push_back((char)c);
                else
                    detail::put_escape(out, c);
            }
        }
        out.push_back('"');
        return Status::ok;
    }

    Status integer(PyObject* obj) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return Status::error;
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v);
            out_.append(buf, (size_t)(r.ptr - buf));
            return Status::ok;
        }
        // Long ints: the interpreter's own repr, which enforces the digit
        // limit; when it refuses, json.dumps raises the same error.
        nx::Ref text = nx::Ref::steal(PyLong_Type.tp_repr(obj));
        if (!text) return Status::fallback;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (!utf8) return Status::error;
        out_.append(utf8, (size_t)len);
        return Status::ok;
    }

    Status floating(PyObject* obj) {
        double v = PyFloat_AS_DOUBLE(obj);
        if (std::isnan(v)) {
            out_.append("NaN", 3);
            return Status::ok;
        }
        if (std::isinf(v)) {
            if (v > 0)
                out_.append("Infinity", 8);
            else
                out_.append("-Infinity", 9);
            return Status::ok;
        }
        char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) return Status::error;
        out_.append(text);
        PyMem_Free(text);
        return Status::ok;
    }

    Status array(PyObject* seq, int depth) {
        // List or tuple; no code of the caller's runs while it is read, so
        // its size cannot change under the loop.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject** items = PySequence_Fast_ITEMS(seq);
        if (n == 0) {
            out_.append("[]", 2);
            return Status::ok;
        }
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out_.append(", ", 2);
            Status st = value(items[i], depth);
            if (st != Status::ok) return st;
        }
        out_.push_back(']');
        return Status::ok;
    }

    Status dict(PyObject* d, int depth) {
        Py_ssize_t n = PyDict_GET_SIZE(d);
        if (n == 0) {
            out_.append("{}", 2);
            return Status::ok;
        }
        std::vector<std::pair<PyObject*, PyObject*>> items;
        items.reserve((size_t)n);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (Py_TYPE(k) != &PyUnicode_Type) return Status::fallback;
            if (!detail::ready(k)) return Status::error;
            items.emplace_back(k, v);
        }
        // The keys are distinct strs, so ordering the pairs is ordering the keys.
        std::sort(items.begin(), items.end(),
                  [](const std::pair<PyObject*, PyObject*>& a,
                     const std::pair<PyObject*, PyObject*>& b) {
                      return detail::str_less(a.first, b.first);
                  });
        out_.push_back('{');
        bool first = true;
        for (auto& kv : items) {
            if (!first) out_.append(", ", 2);
            first = false;
            Status st = string(kv.first);
            if (st != Status::ok) return st;
            out_.append(": ", 2);
            st = value(kv.second, depth);
            if (st != Status::ok) return st;
        }
        out_.push_back('}');
        return Status::ok;
    }

    std::string& out_;
    std::vector<PyObject*> path_;  // the containers being encoded, outermost first
};

}  // namespace cjson
}  // namespace scrape

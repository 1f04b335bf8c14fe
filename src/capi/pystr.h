// Reading str objects character by character.
#pragma once

#include "pyref.h"

namespace nx {

// Make `s` (a str) readable through PyUnicode_KIND/DATA. Strings are always
// ready from 3.12 on; before, a str built by the legacy API may not be yet.
// 0, or -1 with an exception set.
inline int ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// Whether `s` (a str) is readable through PyUnicode_KIND/DATA as it is, without
// making it ready: always from 3.12 on.
inline bool is_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(s);
#else
    (void)s;
    return true;
#endif
}

// A range [start, end) of a str's characters.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
    bool empty() const { return start == end; }
};

// The characters that str.strip() keeps (a ready str): white space is the
// interpreter's own set, the one `\s` of `re` matches too.
inline Span strip_span(PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Span span{0, PyUnicode_GET_LENGTH(s)};
    while (span.start < span.end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, span.start)))
        ++span.start;
    while (span.end > span.start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, span.end - 1)))
        --span.end;
    return span;
}

}  // namespace nx

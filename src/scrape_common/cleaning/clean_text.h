// The native text cleaner of clean_data: the whole clean_string pipeline for
// an exact str, giving the very text the interpreted pipeline gives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace scrape {
namespace cleaning {

struct Outcome {
    PyObject* result = nullptr;  // new reference, or nullptr
    bool fallback = false;       // nullptr without an error: use the interpreter's path
};

// Cleans an exact str. `normalize` is unicodedata.normalize and `form` the
// str "NFKD"; with `native_nfkd` the built-in tables stand in for them. Long
// texts are cleaned without the interpreter lock.
Outcome clean_string(PyObject* text, PyObject* normalize, PyObject* form, bool native_nfkd);

// NFKD of a str by the built-in tables (new reference), to compare them with
// the running unicodedata.
PyObject* nfkd_by_tables(PyObject* text);

// The name of the scanning kernels in use ("sse2", "avx2", "neon", "scalar").
const char* scan_kernels();

// The name of the 128-bit vector set the stages were built with ("sse2",
// "neon", "scalar").
const char* vector_set();

}  // namespace cleaning
}  // namespace scrape

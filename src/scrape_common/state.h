// Scrape_common's state: all that the module keeps from one call to the
// next, in one struct reached through state() (capi/pystate.h). Each piece is
// filled when the start-up defines the functions that use it, and kept for
// the process. The module refuses a second interpreter, so one State serves.
#pragma once

#include "../capi/standin.h"
#include "export/writers.h"

namespace scrape {

// The stripped str keys of the last records, by position. The records of a
// job have the same keys in the same order, so a key is stripped, and its
// stripped text hashed, once rather than once per record (clean_data.cpp).
// Read and written with the interpreter lock held.
class KeyMemo {
public:
    // k.strip() for the exact str k, the i-th key of its record.
    nx::Ref strip(Py_ssize_t i, PyObject* k);

private:
    static constexpr Py_ssize_t kSlots = 64;
    static constexpr Py_ssize_t kMaxLength = 256;
    nx::Ref key_[kSlots];
    nx::Ref stripped_[kSlots];
};

struct State {
    // clean_data: the modules its native pipeline stands in for, re (sub,
    // compile, IGNORECASE), html (unescape) and unicodedata (normalize); and
    // whether the tables built in are those of this interpreter's html and
    // unicodedata.
    nx::StandIn<3> cleaning;
    bool tables_match = false;
    bool native_nfkd = false;
    KeyMemo keys;

    // doc_hash: json (dumps, JSONEncoder) and hashlib (md5).
    nx::StandIn<2> hashing;

    // is_valid_page_save: re (match), for the drive-letter test.
    nx::StandIn<1> page_save;

    // The exports: re (sub) for the cell rule; csv (DictWriter, writer,
    // get_dialect), the builtin open and csv's default dialect as first seen
    // for the native CSV lines; the field names left out, as a set; openpyxl.
    nx::StandIn<1> cells;
    nx::StandIn<1> csv;
    PyObject* open = nullptr;
    PyObject* csv_dialect = nullptr;
    PyObject* excluded = nullptr;
    exports::Openpyxl openpyxl;
};

State& state();

}  // namespace scrape

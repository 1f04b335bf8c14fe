// Record cleaning and hashing: clean_data and doc_hash.
#include "subsystems.h"

namespace scrape {
namespace {

// ---------------------------------------------------------------------------
// Record cleaning (clean_data)
// ---------------------------------------------------------------------------

int define_clean_data(PyObject*) { return 0; }  // not built yet: not bound

// ---------------------------------------------------------------------------
// Document hash (doc_hash)
// ---------------------------------------------------------------------------

int define_doc_hash(PyObject*) { return 0; }  // not built yet: not bound

}  // namespace

int define_cleaning(PyObject* g) {
    if (define_clean_data(g) < 0) return -1;
    return define_doc_hash(g);
}

}  // namespace scrape

// The subsystems of Scrape_common. Each binds its public functions as module
// globals of `g` (the module's dict) when the start-up reaches it; they run in
// the order of the definitions in startup.cpp.
#pragma once

#include "../capi/pyfunc.h"

namespace scrape {

// Each definer, with the public functions it binds and where they live:
int define_clean_data(PyObject* g);  // clean_data                     clean_data.cpp, cleaning/
int define_doc_hash(PyObject* g);    // doc_hash                       doc_hash.cpp, hashing/
int define_storage(PyObject* g);     // is_valid_page_save, InsertItem storage.cpp
int define_fetch(PyObject* g);       // fetch_response                 fetch.cpp
int define_queues(PyObject* g);      // get_input, pl_input, update_*  queues.cpp
int define_export(PyObject* g);      // export_mongo_to_csv, _excel    export/export.cpp

}  // namespace scrape

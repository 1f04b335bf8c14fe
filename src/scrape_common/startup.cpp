// Nexra_publish.Scrape_common: start-up and shared state.
//
// Importing the module runs its body once: the libraries its functions use,
// every public setting of `configuration`, the job's request engine, the
// database client with its handles, the retry constants and the public
// functions, bound as module globals in that order.
#include "../capi/pymodule.h"
#include "../capi/pystate.h"
#include "state.h"
#include "subsystems.h"

namespace scrape {

State& state() { return nx::module_state<State>(); }
exports::Openpyxl& exports::openpyxl_state() { return state().openpyxl; }

}  // namespace scrape

namespace {

using nx::Ref;

struct LibraryImport {
    const char* module;
    const char* name;     // attribute taken from the module, or nullptr for the module itself
    const char* bind_as;  // global name
};

const LibraryImport kLibraries[] = {
    {"typing", "Any", "Any"},
    {"os", nullptr, "os"},
    {"traceback", nullptr, "traceback"},
    {"pymongo", "MongoClient", "MongoClient"},
    {"pymongo.errors", "DuplicateKeyError", "DuplicateKeyError"},
    {"json", nullptr, "json"},
    {"re", nullptr, "re"},
    {"datetime", "datetime", "datetime"},
    {"scrapy.http", "HtmlResponse", "HtmlResponse"},
    {"concurrent.futures", "ThreadPoolExecutor", "ThreadPoolExecutor"},
    {"requests", nullptr, "requests"},
    {"hashlib", nullptr, "hashlib"},
    {"time", nullptr, "time"},
    {"unicodedata", nullptr, "unicodedata"},
    {"pymongo", nullptr, "pymongo"},
    {"pandas", nullptr, "pd"},
    {"pymongo.errors", "PyMongoError", "PyMongoError"},
    {"openpyxl", "Workbook", "Workbook"},
    {"csv", nullptr, "csv"},
    {"html", nullptr, "html"},
    {"math", nullptr, "math"},
    {"sys", nullptr, "sys"},
};

// `import x` / `from x import y`, bound as a global.
int import_library(PyObject* g, const LibraryImport& lib) {
    Ref value;
    if (lib.name) {
        Ref m = nx::import(g, lib.module, {lib.name});
        if (!m) return -1;
        value = Ref::steal(PyObject_GetAttrString(m.get(), lib.name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", lib.name,
                         lib.module);
            return -1;
        }
    } else {
        // `import a.b` binds the top-level package; every module here is top-level.
        value = nx::import(g, lib.module);
        if (!value) return -1;
    }
    return PyDict_SetItemString(g, lib.bind_as, value.get());
}

// from .configuration import *
int import_settings(PyObject* g) {
    Ref m = nx::import(g, "configuration", {"*"}, 1);
    if (!m) return -1;
    bool skip_private = false;
    Ref names = nx::attr(m.get(), NX_ID(__all__));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        Ref dict = nx::attr(m.get(), NX_ID(__dict__));
        if (!dict) return -1;
        names = Ref::steal(PyMapping_Keys(dict.get()));
        if (!names) return -1;
        skip_private = true;
    }
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return -1;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        if (skip_private && PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0 &&
            PyUnicode_READ_CHAR(name.get(), 0) == '_')
            continue;
        Ref value = nx::attr(m.get(), name.get());
        if (!value || PyDict_SetItem(g, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// sys.path.insert(0, vantelo_path); import request_engine -- every failure ignored.
void load_request_engine(PyObject* g) {
    auto body = [g]() -> int {
        Ref sys = nx::global(g, NX_ID(sys));
        Ref path = sys ? nx::attr(sys.get(), NX_ID(path)) : Ref();
        Ref dir = path ? nx::global(g, NX_ID(vantelo_path)) : Ref();
        if (!dir) return -1;
        Ref zero = nx::integer(0);
        if (!zero || !nx::call_method(path.get(), NX_ID(insert), {zero.get(), dir.get()}))
            return -1;
        Ref engine = nx::import(g, "request_engine");
        if (!engine) return -1;
        return nx::set_global(g, NX_ID(request_engine), engine.get());
    };
    if (body() < 0) PyErr_Clear();
}

// The client and the handles; any Exception is printed and the start-up goes on.
int connect_database(PyObject* g) {
    auto body = [g]() -> int {
        Ref client_class = nx::global(g, NX_ID(MongoClient));
        Ref uri = client_class ? nx::global(g, NX_ID(connection_string)) : Ref();
        Ref client = uri ? nx::call(client_class.get(), {uri.get()}) : Ref();
        if (!client || nx::set_global(g, NX_ID(mongo_client), client.get()) < 0) return -1;

        Ref db_name = nx::global(g, NX_ID(data_base));
        Ref db = db_name ? nx::item(client.get(), db_name.get()) : Ref();
        if (!db || nx::set_global(g, NX_ID(db), db.get()) < 0) return -1;

        Ref input = nx::global(g, NX_ID(input_table));
        Ref col = input ? nx::item(db.get(), input.get()) : Ref();
        if (!col || nx::set_global(g, NX_ID(col_input), col.get()) < 0) return -1;

        Ref pl_input = nx::global(g, NX_ID(pl_input_table));
        Ref col_pdp = pl_input ? nx::item(db.get(), pl_input.get()) : Ref();
        if (!col_pdp || nx::set_global(g, NX_ID(col_input_pdp), col_pdp.get()) < 0) return -1;

        Ref log = nx::item(db.get(), NX_STR("failures_collection"));
        if (!log || nx::set_global(g, NX_ID(log), log.get()) < 0) return -1;

        return nx::print_text(g, "\u2705 MongoDB connection successful");
    };
    if (body() == 0) return 0;
    if (!nx::pending_is_exception()) return -1;
    Ref exc = nx::fetch_exception();
    return nx::print(g, {exc.get()});
}

int define_constants(PyObject* g) {
    Ref max_retries = nx::integer(3);
    Ref retry_delay = nx::integer(2);
    if (!max_retries || !retry_delay) return -1;
    if (nx::set_global(g, NX_ID(MAX_RETRIES), max_retries.get()) < 0) return -1;
    return nx::set_global(g, NX_ID(RETRY_DELAY), retry_delay.get());
}

int run_body(PyObject* g) {
    for (const LibraryImport& lib : kLibraries)
        if (import_library(g, lib) < 0) return -1;
    if (import_settings(g) < 0) return -1;
    load_request_engine(g);
    if (connect_database(g) < 0) return -1;

    if (scrape::define_clean_data(g) < 0) return -1;
    if (scrape::define_doc_hash(g) < 0) return -1;
    if (scrape::define_storage(g) < 0) return -1;
    if (define_constants(g) < 0) return -1;
    if (scrape::define_fetch(g) < 0) return -1;
    if (scrape::define_queues(g) < 0) return -1;
    return scrape::define_export(g);
}

nx::RunOnceModule module_def("Scrape_common",
                             "Shared work of a scraping job: input queues, page fetching, record "
                             "cleaning and hashing, item storage and collection export.",
                             run_body);

}  // namespace

NX_MODINIT_FUNC PyInit_Scrape_common(void) { return module_def.init(); }

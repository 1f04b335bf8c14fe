// Record cleaning and hashing: clean_data and doc_hash.
#include "subsystems.h"

#include "canonical_json.h"
#include "md5.h"

namespace scrape {
namespace {

// ---------------------------------------------------------------------------
// Record cleaning (clean_data)
// ---------------------------------------------------------------------------

int define_clean_data(PyObject*) { return 0; }  // not built yet: not bound

// ---------------------------------------------------------------------------
// Document hash (doc_hash)
// ---------------------------------------------------------------------------

// doc_hash(doc): hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest().
//
// While the globals `json` and `hashlib` are the standard modules (with their
// own `dumps`, `JSONEncoder` and `md5`), the text is made by the native
// encoder and hashed natively; anything the encoder declines, and every
// rebound global, goes through the modules themselves.
struct HashModules {
    PyObject* json = nullptr;
    PyObject* json_dumps = nullptr;
    PyObject* json_encoder = nullptr;
    PyObject* hashlib = nullptr;
    PyObject* hashlib_md5 = nullptr;
};
HashModules std_modules;  // references kept for the life of the process

using NameValue = std::pair<PyObject*, PyObject*>;

// 1 when module `m` is `expected` and each of its globals `name` is still the
// object `value`; 0 when not; -1 with an exception set.
int module_is(PyObject* m, PyObject* expected, std::initializer_list<NameValue> names) {
    if (m != expected || !expected) return 0;
    PyObject* d = PyModule_GetDict(m);
    for (const auto& nv : names) {
        PyObject* v = PyDict_GetItemWithError(d, nv.first);
        if (!v && PyErr_Occurred()) return -1;
        if (v != nv.second) return 0;
    }
    return 1;
}

nx::Ref hex_text(const char* data, size_t len) {
    char hex[32];
    md5::hex_digest(data, len, hex);
    return nx::Ref::steal(PyUnicode_FromStringAndSize(hex, 32));
}

PyObject* doc_hash(nx::Function* f, PyObject* const* a) {
    using nx::Ref;
    PyObject* doc = a[0];
    const HashModules& m = std_modules;

    // json.dumps(doc, sort_keys=True), then .encode()
    Ref json = nx::global(f, NX_ID(json));
    if (!json) return nullptr;
    int std_json = module_is(json.get(), m.json,
                             {{NX_ID(dumps), m.json_dumps}, {NX_ID(JSONEncoder), m.json_encoder}});
    if (std_json < 0) return nullptr;
    cjson::Buffer text;
    Ref encoded;  // the bytes, when they come from the interpreter
    bool native_text = false;
    if (std_json) {
        cjson::Status st = cjson::Encoder(text).encode(doc);
        if (st == cjson::Status::error) return nullptr;
        native_text = st == cjson::Status::ok;
    }
    if (!native_text) {
        Ref dumps = nx::attr(json.get(), NX_ID(dumps));
        if (!dumps) return nullptr;
        Ref s = nx::call_kw(dumps.get(), {doc}, {{NX_ID(sort_keys), Py_True}});
        if (!s) return nullptr;
        if (PyUnicode_CheckExact(s.get()))
            encoded = Ref::steal(PyUnicode_AsUTF8String(s.get()));
        else
            encoded = nx::call_method(s.get(), NX_ID(encode));
        if (!encoded) return nullptr;
    }

    // hashlib.md5(bytes).hexdigest()
    Ref hashlib = nx::global(f, NX_ID(hashlib));
    if (!hashlib) return nullptr;
    int std_hashlib = module_is(hashlib.get(), m.hashlib, {{NX_ID(md5), m.hashlib_md5}});
    if (std_hashlib < 0) return nullptr;
    if (std_hashlib) {
        if (native_text) return hex_text(text.data(), text.size()).release();
        if (PyBytes_CheckExact(encoded.get()))
            return hex_text(PyBytes_AS_STRING(encoded.get()), (size_t)PyBytes_GET_SIZE(encoded.get()))
                .release();
    }
    if (native_text) {
        encoded = Ref::steal(PyBytes_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
        if (!encoded) return nullptr;
    }
    Ref md5 = nx::attr(hashlib.get(), NX_ID(md5));
    Ref h = md5 ? nx::call(md5.get(), {encoded.get()}) : Ref();
    if (!h) return nullptr;
    return nx::call_method(h.get(), NX_ID(hexdigest)).release();
}

const nx::FuncSpec doc_hash_spec = {
    "doc_hash",
    "MD5 hex digest of the document's JSON text with sorted keys.",
    1,
    {"doc"},
    doc_hash,
};

int define_doc_hash(PyObject* g) {
    HashModules& m = std_modules;
    if (!m.json) {
        nx::Ref json = nx::import(g, "json");
        nx::Ref hashlib = json ? nx::import(g, "hashlib") : nx::Ref();
        if (!hashlib) return -1;
        nx::Ref dumps = nx::attr(json.get(), NX_ID(dumps));
        nx::Ref encoder = dumps ? nx::attr(json.get(), NX_ID(JSONEncoder)) : nx::Ref();
        nx::Ref md5 = encoder ? nx::attr(hashlib.get(), NX_ID(md5)) : nx::Ref();
        if (!md5) return -1;
        m.json = json.release();
        m.json_dumps = dumps.release();
        m.json_encoder = encoder.release();
        m.hashlib = hashlib.release();
        m.hashlib_md5 = md5.release();
    }
    return nx::define_function(g, doc_hash_spec);
}

}  // namespace

int define_cleaning(PyObject* g) {
    if (define_clean_data(g) < 0) return -1;
    return define_doc_hash(g);
}

}  // namespace scrape

// doc_hash, the Python-facing record hash: the JSON text by hashing/
// canonical_json.h, its MD5 by hashing/md5.h.
#include "subsystems.h"

#include "dict_watch.h"
#include "hashing/canonical_json.h"
#include "hashing/md5.h"

namespace scrape {
namespace {

using nx::Ref;

// doc_hash(doc): hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest().
//
// While the globals `json` and `hashlib` are the standard modules (with their
// own `dumps`, `JSONEncoder` and `md5`), the text is made by the native
// encoder and hashed natively; anything the encoder declines, and every
// rebound global, goes through the modules themselves.
nx::StandardModule std_json;
nx::StandardModule std_hashlib;
PyObject* std_dicts[2];  // the dicts of the two, when they are modules

nx::Ref hex_text(const char* data, size_t len) {
    nx::Ref hex = nx::Ref::steal(PyUnicode_New(32, 127));
    if (hex) md5::hex_digest(data, len, static_cast<char*>(PyUnicode_DATA(hex.get())));
    return hex;
}

// json.dumps(doc, sort_keys=True) as the interpreted doc_hash made it: from
// a frame of its own. Up to 3.11 every frame counts against the recursion
// limit that also bounds the nesting json can encode, so this call takes the
// place of that frame; otherwise a document nested just deep enough to fail
// there would be hashed here.
Ref dumps_one_frame_down(PyObject* dumps, PyObject* doc) {
#if PY_VERSION_HEX < 0x030C0000
    if (Py_EnterRecursiveCall("")) return {};
    Ref s = nx::call_kw(dumps, {doc}, {{NX_ID(sort_keys), Py_True}});
    Py_LeaveRecursiveCall();
    return s;
#else
    return nx::call_kw(dumps, {doc}, {{NX_ID(sort_keys), Py_True}});
#endif
}

// json.dumps(doc, sort_keys=True).encode() through the module `json`.
Ref encoded_by(PyObject* json, PyObject* doc) {
    Ref dumps = nx::attr(json, NX_ID(dumps));
    Ref s = dumps ? dumps_one_frame_down(dumps.get(), doc) : Ref();
    if (!s) return {};
    if (PyUnicode_CheckExact(s.get())) return Ref::steal(PyUnicode_AsUTF8String(s.get()));
    return nx::call_method(s.get(), NX_ID(encode));
}

PyObject* doc_hash(nx::Function* f, PyObject* const* a) {
    PyObject* doc = a[0];
    // While the module's globals and the two modules are as they were when
    // a call last found `json` and `hashlib` bound to the standard modules
    // there, they still are.
    static Unchanged<3> seen;
    PyObject* const dicts[] = {f->globals, std_dicts[0], std_dicts[1]};
    const bool known = std_dicts[0] && std_dicts[1] && seen.holds(dicts);

    // json.dumps(doc, sort_keys=True), then .encode()
    Ref json;
    if (!known) {
        json = nx::global(f, NX_ID(json));
        if (!json) return nullptr;
    }
    cjson::Buffer text;
    Ref encoded;  // the bytes, when they come from the interpreter
    bool native_text = false;
    if (known || std_json.is(json.get())) {
        cjson::Status st = cjson::Encoder(text).encode(doc);
        if (st == cjson::Status::error) return nullptr;
        native_text = st == cjson::Status::ok;
    }
    if (!native_text) {
        if (!json) json = Ref::borrow(std_json.module());  // no code has run since
        encoded = encoded_by(json.get(), doc);
        if (!encoded) return nullptr;
    }

    // hashlib.md5(bytes).hexdigest(); json.dumps may have rebound hashlib.
    Ref hashlib;
    if (!known || !native_text) {
        hashlib = nx::global(f, NX_ID(hashlib));
        if (!hashlib) return nullptr;
    }
    if (!hashlib || std_hashlib.is(hashlib.get())) {
        if (native_text) {
            if (!known && std_dicts[0] && std_dicts[1] &&
                PyDict_GetItem(f->globals, NX_ID(json)) == std_json.module() &&
                PyDict_GetItem(f->globals, NX_ID(hashlib)) == std_hashlib.module())
                seen.keep(dicts);
            return hex_text(text.data(), text.size()).release();
        }
        if (PyBytes_CheckExact(encoded.get()))
            return hex_text(PyBytes_AS_STRING(encoded.get()),
                            (size_t)PyBytes_GET_SIZE(encoded.get()))
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
    R"doc(Return the content hash of a record: 32 lower-case hex digits.

doc -- any value the json module can serialise, normally a dict.

The hash is the MD5 digest of json.dumps(doc, sort_keys=True), encoded
as UTF-8. Records with the same keys and values hash alike whatever
their key order; 1, 1.0 and True hash differently, and so do lists
with the same items in another order. InsertItem stores each item
under the hash of its cleaned record as "_id", which is how a record
stored twice is recognised.

Raises TypeError for a value JSON cannot represent (datetime, ObjectId,
set, bytes) and for dict keys that cannot be sorted together (an int
beside a str).)doc",
    1,
    {"doc"},
    doc_hash,
};

}  // namespace

int define_doc_hash(PyObject* g) {
    if (std_json.capture("json", {"dumps", "JSONEncoder"}) < 0) return -1;
    if (std_hashlib.capture("hashlib", {"md5"}) < 0) return -1;
    std_dicts[0] = module_dict(std_json.module());
    std_dicts[1] = module_dict(std_hashlib.module());
    return nx::define_function(g, doc_hash_spec);
}

}  // namespace scrape

// doc_hash, the Python-facing record hash: the JSON text by hashing/
// canonical_json.h, its MD5 by hashing/md5.h.
#include "state.h"
#include "subsystems.h"

#include "hashing/canonical_json.h"
#include "hashing/md5.h"

namespace scrape {
namespace {

using nx::Ref;

// doc_hash(doc): hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest().
//
// While the globals `json` and `hashlib` are the standard modules (with their
// own `dumps`, `JSONEncoder` and `md5`: state().hashing), the text is made by
// the native encoder and hashed natively; anything the encoder declines, and
// every rebound global, goes through the modules themselves.
nx::Ref hex_text(const char* data, size_t len) {
    nx::Ref hex = nx::Ref::steal(PyUnicode_New(32, 127));
    if (hex) hashing::md5::hex_digest(data, len, static_cast<char*>(PyUnicode_DATA(hex.get())));
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

#define DOC_PARAMS(P) P(doc, nx::Default::required())
NX_ARGUMENTS(DocArgs, DOC_PARAMS);

// The hash through the module globals, as interpreted code makes it; only a
// standard hashlib's MD5 of the bytes is taken natively.
PyObject* hash_by_modules(PyObject* g, PyObject* doc) {
    Ref json = nx::global(g, NX_ID(json));
    Ref encoded = json ? encoded_by(json.get(), doc) : Ref();
    if (!encoded) return nullptr;
    // json.dumps may have rebound hashlib: it is looked up now.
    Ref hashlib = nx::global(g, NX_ID(hashlib));
    if (!hashlib) return nullptr;
    if (state().hashing[1].is(hashlib.get()) && PyBytes_CheckExact(encoded.get()))
        return hex_text(PyBytes_AS_STRING(encoded.get()), (size_t)PyBytes_GET_SIZE(encoded.get()))
            .release();
    Ref md5 = nx::attr(hashlib.get(), NX_ID(md5));
    Ref h = md5 ? nx::call(md5.get(), {encoded.get()}) : Ref();
    if (!h) return nullptr;
    return nx::call_method(h.get(), NX_ID(hexdigest)).release();
}

PyObject* doc_hash(nx::Function* f, const DocArgs& a) {
    if (state().hashing.native(f->globals)) {
        hashing::cjson::Buffer text;
        const hashing::cjson::Status st = hashing::cjson::Encoder(text).encode(a.doc);
        if (st == hashing::cjson::Status::kError) return nullptr;
        if (st == hashing::cjson::Status::kOk) return hex_text(text.data(), text.size()).release();
        // Declined: the modules do it, and nothing has run since the check.
    }
    return hash_by_modules(f->globals, a.doc);
}

constexpr nx::FuncSpec doc_hash_spec = nx::spec_of<DocArgs, doc_hash>(
    "doc_hash", R"doc(Return the content hash of a record: 32 lower-case hex digits.

doc -- any value the json module can serialise, normally a dict.

The hash is the MD5 digest of json.dumps(doc, sort_keys=True), encoded
as UTF-8. Records with the same keys and values hash alike whatever
their key order; 1, 1.0 and True hash differently, and so do lists
with the same items in another order. InsertItem stores each item
under the hash of its cleaned record as "_id", which is how a record
stored twice is recognised.

Raises TypeError for a value JSON cannot represent (datetime, ObjectId,
set, bytes) and for dict keys that cannot be sorted together (an int
beside a str).)doc");

}  // namespace

int define_doc_hash(PyObject* g) {
    if (state().hashing.capture(
            {{"json", "json", {"dumps", "JSONEncoder"}}, {"hashlib", "hashlib", {"md5"}}}) < 0)
        return -1;
    return nx::define_function(g, doc_hash_spec);
}

}  // namespace scrape

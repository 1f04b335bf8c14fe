// Item storage: is_valid_page_save and InsertItem.
#include "../capi/pystr.h"
#include "common.h"
#include "state.h"
#include "subsystems.h"

namespace scrape {
namespace {

using nx::Ref;

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// ---------------------------------------------------------------------------
// Page-save validation
// ---------------------------------------------------------------------------

const char kDrivePattern[] = "^[A-Za-z]:\\\\";

// What re.match("^[A-Za-z]:\\\\", s) finds, read on the str's own characters.
bool drive_prefix(PyObject* s) {
    if (PyUnicode_GET_LENGTH(s) < 3) return false;
    int kind = PyUnicode_KIND(s);
    const void* d = PyUnicode_DATA(s);
    Py_UCS4 c = PyUnicode_READ(kind, d, 0);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && PyUnicode_READ(kind, d, 1) == ':' && PyUnicode_READ(kind, d, 2) == '\\';
}

// Truth of a result object (empty: an exception is pending); -1 with an exception set.
int truth(const Ref& r) {
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// re.match("^[A-Za-z]:\\\\", s) through the `re` global, as a truth value.
int re_match_drive(nx::Function* f, PyObject* s) {
    Ref re = nx::global(f, NX_ID(re));
    if (!re) return -1;
    return truth(nx::call_method(re.get(), NX_ID(match), {NX_STR(kDrivePattern), s}));
}

// The path tests: 1 when page_save is a Windows path, 0 when not, -1 on error.
int windows_path(nx::Function* f, PyObject* page_save) {
    bool exact = PyUnicode_CheckExact(page_save);
    // 1. a UNC prefix
    int hit;
    if (exact) {
        hit = PyUnicode_Tailmatch(page_save, NX_STR("\\\\"), 0, PY_SSIZE_T_MAX, -1) == 1;
    } else {
        hit = truth(nx::call_method(page_save, NX_ID(startswith), {NX_STR("\\\\")}));
    }
    if (hit != 0) return hit;
    // 2. a drive prefix, through the `re` global
    hit = state().page_save.native(f->globals) ? drive_prefix(page_save)
                                               : re_match_drive(f, page_save);
    if (hit != 0) return hit;
    // 3. a backslash anywhere
    if (exact) {
        Py_ssize_t at = PyUnicode_FindChar(page_save, '\\', 0, PyUnicode_GET_LENGTH(page_save), 1);
        if (at == -2) return -1;
        return at >= 0;
    }
    return PySequence_Contains(page_save, NX_STR("\\"));
}

// page_save.replace(".html", "").replace(".json", "")
Ref check_name(PyObject* page_save) {
    if (PyUnicode_CheckExact(page_save)) {
        Ref s = Ref::steal(PyUnicode_Replace(page_save, NX_STR(".html"), NX_STR(""), -1));
        if (!s) return s;
        return Ref::steal(PyUnicode_Replace(s.get(), NX_STR(".json"), NX_STR(""), -1));
    }
    Ref s = nx::call_method(page_save, NX_ID(replace), {NX_STR(".html"), NX_STR("")});
    if (!s) return s;
    return nx::call_method(s.get(), NX_ID(replace), {NX_STR(".json"), NX_STR("")});
}

// The text of parcel_number: the object itself when it is a str, else str() of it.
Ref parcel_text(PyObject* parcel_number) {
    if (PyUnicode_Check(parcel_number)) return Ref::borrow(parcel_number);
    return Ref::steal(PyObject_Str(parcel_number));
}

#define PAGE_SAVE_PARAMS(P) \
    P(doc, nx::Default::required()) P(parcel_number, nx::Default::required())
NX_ARGUMENTS(PageSaveArgs, PAGE_SAVE_PARAMS);

PyObject* is_valid_page_save(nx::Function* f, const PageSaveArgs& a) {
    PyObject* doc = a.doc;
    PyObject* parcel_number = a.parcel_number;

    int present = PyObject_IsTrue(parcel_number);
    if (present < 0) return nullptr;
    if (!present) return new_ref(NX_STR("missing parcel_number"));

    Ref page_save;
    if (PyDict_CheckExact(doc)) {
        PyObject* v = PyDict_GetItemWithError(doc, NX_STR("page_save"));
        if (!v && PyErr_Occurred()) return nullptr;
        page_save = Ref::borrow(v ? v : Py_None);
    } else {
        page_save = nx::call_method(doc, NX_ID(get), {NX_STR("page_save")});
        if (!page_save) return nullptr;
    }

    PyObject* ps = page_save.get();
    if (!PyUnicode_Check(ps)) return new_ref(NX_STR("empty"));
    if (PyUnicode_CheckExact(ps)) {
        if (nx::ready(ps) < 0) return nullptr;
        if (nx::strip_span(ps).empty()) return new_ref(NX_STR("empty"));
    } else {
        int kept = truth(nx::call_method(ps, NX_ID(strip)));
        if (kept < 0) return nullptr;
        if (!kept) return new_ref(NX_STR("empty"));
        if (nx::ready(ps) < 0) return nullptr;
    }

    int windows = windows_path(f, ps);
    if (windows < 0) return nullptr;
    if (windows) return new_ref(NX_STR("invalid_path"));

    Ref check = check_name(ps);
    if (!check) return nullptr;
    Ref text = parcel_text(parcel_number);
    if (!text) return nullptr;
    int inside = PySequence_Contains(text.get(), check.get());
    if (inside < 0) return nullptr;
    return new_ref(inside ? NX_STR("valid") : NX_STR("does not match parcel_number"));
}

constexpr nx::FuncSpec is_valid_page_save_spec = nx::spec_of<PageSaveArgs, is_valid_page_save>(
    "is_valid_page_save", R"doc(Judge an item's "page_save" entry against its parcel number.

doc           -- the item: a dict, or any object with get(); only
                 doc.get("page_save") is read.
parcel_number -- the item's identifier, compared through its text.

Returns one of five status strings, the first that applies:
  "missing parcel_number"         parcel_number is false (None, "", 0)
  "empty"                         page_save is absent, not a str, or
                                  only white space
  "invalid_path"                  page_save is a Windows path: it starts
                                  with \\ (UNC) or a drive such as C:\,
                                  or holds a backslash anywhere
  "valid"                         page_save with every ".html" and
                                  ".json" removed is part of
                                  str(parcel_number), e.g. "P1234.html"
                                  for "P1234"
  "does not match parcel_number"  otherwise (a directory before the
                                  name, "pages/P1234.html", does not
                                  match)

Only the text is checked; the file system is not touched and nothing
is printed. InsertItem stores an item only when this says "valid".)doc");

// ---------------------------------------------------------------------------
// Item insertion
// ---------------------------------------------------------------------------

// status == literal, as the interpreter compares them.
int status_is(PyObject* status, PyObject* literal) {
    if (PyUnicode_CheckExact(status)) return PyUnicode_Compare(status, literal) == 0;
    return truth(Ref::steal(PyObject_RichCompare(status, literal, Py_EQ)));
}

// The time stamp and the retry text; any exception at all skips the rest silently.
void stamp(PyObject* g, PyObject* data, PyObject* retry) {
    Ref now = now_text(g);
    if (now && PyObject_SetItem(data, NX_ID(datetime), now.get()) == 0 &&
        PyObject_SetItem(data, NX_ID(retry), retry) == 0)
        return;
    PyErr_Clear();
}

// Steps inside the DuplicateKeyError guard. 0 when done (a line printed),
// -1 with an exception set.
int insert_guarded(nx::Function* f, PyObject* data, PyObject* retry, PyObject* parcel_number,
                   PyObject* table_name) {
    PyObject* g = f->globals;
    if (!PyDict_Check(data))
        return nx::print_text(g, "InsertItem: Data is not a dictionary. Skipping.");

    Ref check = nx::global(f, NX_ID(is_valid_page_save));
    if (!check) return -1;
    Ref status = nx::call(check.get(), {data, parcel_number});
    if (!status) return -1;

    int is;
    if ((is = status_is(status.get(), NX_STR("empty"))) != 0) {
        if (is < 0) return -1;
        return nx::print_text(g, "InsertItem: 'page_save' is missing or Wrong Key. Skipping.");
    }
    if ((is = status_is(status.get(), NX_STR("does not match parcel_number"))) != 0) {
        if (is < 0) return -1;
        Ref text = parcel_text(parcel_number);
        Ref line = text ? nx::concat({NX_STR("[ERROR] page_save does not match parcel_number '"),
                                      text.get(), NX_STR("' or has an invalid extension")})
                        : Ref();
        if (!line) return -1;
        return nx::print(g, {line.get()});
    }
    if ((is = status_is(status.get(), NX_STR("missing parcel_number"))) != 0) {
        if (is < 0) return -1;
        return nx::print_text(g, "[ERROR] parcel_number is missing");
    }
    if ((is = status_is(status.get(), NX_STR("invalid_path"))) != 0) {
        if (is < 0) return -1;
        return nx::print_text(
            g, "page_save contains an invalid file path (UNC or drive letter not allowed)");
    }
    if ((is = status_is(status.get(), NX_STR("valid"))) <= 0) {
        if (is < 0) return -1;
        return nx::print_text(g, "Unrecognized status Please check logic or data.");
    }

    // data = clean_data(data); data["_id"] = doc_hash(data)
    Ref clean = nx::global(f, NX_ID(clean_data));
    Ref doc = clean ? nx::call(clean.get(), {data}) : Ref();
    if (!doc) return -1;
    Ref hasher = nx::global(f, NX_ID(doc_hash));
    Ref id = hasher ? nx::call(hasher.get(), {doc.get()}) : Ref();
    if (!id || PyObject_SetItem(doc.get(), NX_ID(_id), id.get()) < 0) return -1;

    stamp(g, doc.get(), retry);

    // db[table_name].insert_one(data)
    Ref db = nx::global(f, NX_ID(db));
    Ref collection = db ? nx::item(db.get(), table_name) : Ref();
    if (!collection || !nx::call_method(collection.get(), NX_ID(insert_one), {doc.get()}))
        return -1;
    return nx::print_text(g, "\u2705 Successfully inserted document");
}

#define INSERT_ITEM_PARAMS(P)             \
    P(data, nx::Default::none())          \
    P(retry, nx::Default::none())         \
    P(parcel_number, nx::Default::none()) \
    P(table_name, nx::Default::none())
NX_ARGUMENTS(InsertItemArgs, INSERT_ITEM_PARAMS);

PyObject* insert_item(nx::Function* f, const InsertItemArgs& a) {
    PyObject* g = f->globals;
    PyObject* data = a.data;
    PyObject* parcel_number = a.parcel_number;
    PyObject* table_name = a.table_name;

    int t = PyObject_IsTrue(data);
    if (t < 0) return nullptr;
    if (!t) {
        if (print_error_dict(g, "InsertItem: No data provided.") < 0) return nullptr;
        Py_RETURN_NONE;
    }

    // retry = str(retry), keeping the value whatever that raises
    Ref retry = Ref::steal(PyObject_Str(a.retry));
    if (!retry) {
        PyErr_Clear();
        retry = Ref::borrow(a.retry);
    }

    int all = PyObject_IsTrue(retry.get());
    if (all > 0) all = PyObject_IsTrue(parcel_number);
    if (all > 0) all = PyObject_IsTrue(table_name);
    if (all < 0) return nullptr;

    if (all) {
        if (insert_guarded(f, data, retry.get(), parcel_number, table_name) == 0) Py_RETURN_NONE;
        // except DuplicateKeyError:
        Ref dup;
        if (nx::except([f] { return nx::global(f, NX_ID(DuplicateKeyError)); }, &dup) <= 0)
            return nullptr;
        if (nx::print_text(g, "Duplicate key error: Document already exists.") < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (parcel_number == Py_None &&
        print_error_dict(
            g, "Missing required parameters: 'retry' or 'parcel_number' or 'table_name'") < 0)
        return nullptr;
    Py_RETURN_NONE;
}

constexpr nx::FuncSpec insert_item_spec = nx::spec_of<InsertItemArgs, insert_item>(
    "InsertItem",
    R"doc(Validate, clean, key and store one scraped item in db[table_name].

data          -- the scraped record: a dict carrying "page_save", the
                 page-save file name of the item's page
retry         -- the attempts its fetch needed (the second element of
                 fetch_response's result); stored as str(retry)
parcel_number -- the item's identifier
table_name    -- the name of the result collection

The stored document is clean_data(data) with "_id" set to doc_hash of
the cleaned record, then "datetime" (local time, "%Y-%m-%d %H:%M:%S")
and "retry" (str(retry)). The caller's dict is not changed. Since "_id"
comes from the content alone, the same content is stored once.

Always returns None; the outcome is printed as one line:
  * data false (None, {}): {'status': 'error', 'message':
    'InsertItem: No data provided.'}
  * parcel_number None: {'status': 'error', 'message': "Missing
    required parameters: 'retry' or 'parcel_number' or 'table_name'"};
    a false table_name, or another false parcel_number: nothing is
    printed or stored
  * data not a dict: "InsertItem: Data is not a dictionary. Skipping."
  * page_save not "valid" (see is_valid_page_save): a line naming the
    problem, nothing stored
  * stored: "Successfully inserted document" (after a check mark)
  * same content stored before: "Duplicate key error: Document already
    exists.", nothing stored

When str(retry) raises, retry is stored as given; when taking or
setting the time stamp raises, the document is stored without
"datetime" and "retry". Other database errors and errors raised by
clean_data or doc_hash reach the caller.)doc");

}  // namespace

int define_storage(PyObject* g) {
    if (state().page_save.capture({{"re", "re", {"match"}}}) < 0) return -1;
    if (nx::define_function(g, is_valid_page_save_spec) < 0) return -1;
    return nx::define_function(g, insert_item_spec);
}

}  // namespace scrape

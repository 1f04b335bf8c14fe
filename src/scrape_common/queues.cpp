// Input queues: the cursors over the two input collections (get_input,
// pl_input) and the status updates of their documents (update_input and its
// three siblings).
//
// Each family has one body; a member only names the collection global it
// works on (and, for the updates, the collection method).
#include "subsystems.h"

namespace scrape {
namespace {

using nx::Ref;

// int(value), with the `int` global read at the call like any other name.
Ref to_int(nx::Function* f, PyObject* value) {
    Ref int_type = nx::global(f, NX_ID(int));
    if (!int_type) return {};
    if (int_type.get() == (PyObject*)&PyLong_Type) return Ref::steal(PyNumber_Long(value));
    return nx::call(int_type.get(), {value});
}

// ---------------------------------------------------------------------------
// Input reading
// ---------------------------------------------------------------------------

// if limit is None: return col.find(query if query is not None else {})
// limit = int(limit); return col.find(query).skip(int(skip)).limit(int(limit))
// (int() runs on limit twice, once before find and once more for .limit).
Ref read_input(nx::Function* f, PyObject* collection_name, PyObject* query, PyObject* limit,
               PyObject* skip) {
    if (limit == Py_None) {
        Ref col = nx::global(f, collection_name);
        if (!col) return {};
        if (query != Py_None) return nx::call_method(col.get(), NX_ID(find), {query});
        Ref find = nx::attr(col.get(), NX_ID(find));
        if (!find) return {};
        Ref empty = Ref::steal(PyDict_New());
        if (!empty) return {};
        return nx::call(find.get(), {empty.get()});
    }
    Ref n = to_int(f, limit);
    if (!n) return {};
    Ref col = nx::global(f, collection_name);
    if (!col) return {};
    Ref cursor = nx::call_method(col.get(), NX_ID(find), {query});
    if (!cursor) return {};
    Ref skip_method = nx::attr(cursor.get(), NX_ID(skip));
    if (!skip_method) return {};
    Ref skip_n = to_int(f, skip);
    if (!skip_n) return {};
    cursor = nx::call(skip_method.get(), {skip_n.get()});
    if (!cursor) return {};
    Ref limit_method = nx::attr(cursor.get(), NX_ID(limit));
    if (!limit_method) return {};
    n = to_int(f, n.get());
    if (!n) return {};
    return nx::call(limit_method.get(), {n.get()});
}

#define INPUT_PARAMS(P) \
    P(query, nx::Default::none()) P(limit, nx::Default::none()) P(skip, nx::Default::of(0))
NX_ARGUMENTS(InputArgs, INPUT_PARAMS);

// Every failure, whatever its class, gives None and leaves no error behind.
template <PyObject* (*Collection)()>
PyObject* input_impl(nx::Function* f, const InputArgs& a) {
    Ref cursor = read_input(f, Collection(), a.query, a.limit, a.skip);
    if (!cursor) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return cursor.release();
}

PyObject* col_input_name() { return NX_ID(col_input); }
PyObject* col_input_pdp_name() { return NX_ID(col_input_pdp); }

// The docstring of a reader of the collection `coll` (setting `setting`).
#define NX_INPUT_DOC(coll, setting) \
    "Return a cursor over the work items in " coll ".\n"                         \
    "\n"                                                                         \
    "query -- a filter document; None matches every document\n"                  \
    "limit -- None for the whole result, or the largest number of documents\n"   \
    "         (anything int() accepts; 0 means no limit)\n"                      \
    "skip  -- the number of documents to skip (anything int() accepts); used\n"  \
    "         only together with limit\n"                                        \
    "\n"                                                                         \
    "Returns the pymongo Cursor of " coll ".find(query) (" coll " is the\n"      \
    "collection named by the setting " setting "), with\n"                       \
    ".skip(int(skip)).limit(int(limit)) applied when limit is not None.\n"       \
    "Nothing is read until the cursor is iterated, so server errors arise\n"     \
    "there. Returns None when anything fails here (a limit or skip that int()\n" \
    "rejects, a query that find() rejects); nothing is printed."

constexpr nx::FuncSpec get_input_spec = nx::spec_of<InputArgs, input_impl<col_input_name>>(
    "get_input", NX_INPUT_DOC("col_input", "input_table"));
constexpr nx::FuncSpec pl_input_spec = nx::spec_of<InputArgs, input_impl<col_input_pdp_name>>(
    "pl_input", NX_INPUT_DOC("col_input_pdp", "pl_input_table"));

#undef NX_INPUT_DOC

// ---------------------------------------------------------------------------
// Input status updates
// ---------------------------------------------------------------------------

// col.<method>({f"{key}": value}, {"$set": {"status": f"{status}"}})
int update_status(nx::Function* f, PyObject* collection_name, PyObject* method_name, PyObject* key,
                  PyObject* value, PyObject* status) {
    Ref col = nx::global(f, collection_name);
    if (!col) return -1;
    Ref method = nx::attr(col.get(), method_name);
    if (!method) return -1;

    Ref key_text = nx::format_empty(key);
    if (!key_text) return -1;
    Ref filter = Ref::steal(PyDict_New());
    if (!filter || PyDict_SetItem(filter.get(), key_text.get(), value) < 0) return -1;

    Ref status_text = nx::format_empty(status);
    if (!status_text) return -1;
    Ref fields = Ref::steal(PyDict_New());
    if (!fields || PyDict_SetItem(fields.get(), NX_ID(status), status_text.get()) < 0) return -1;
    Ref update = Ref::steal(PyDict_New());
    if (!update || PyDict_SetItem(update.get(), NX_STR("$set"), fields.get()) < 0) return -1;

    return nx::call(method.get(), {filter.get(), update.get()}) ? 0 : -1;
}

// An Exception is printed (its text, one line) and swallowed; anything else
// reaches the caller.
#define UPDATE_PARAMS(P)            \
    P(key, nx::Default::required()) \
    P(value, nx::Default::required()) P(status, nx::Default::required())
NX_ARGUMENTS(UpdateArgs, UPDATE_PARAMS);

template <PyObject* (*Collection)(), PyObject* (*Method)()>
PyObject* update_impl(nx::Function* f, const UpdateArgs& a) {
    if (update_status(f, Collection(), Method(), a.key, a.value, a.status) < 0) {
        if (!nx::pending_is_exception()) return nullptr;
        Ref exc = nx::fetch_exception();
        if (nx::print(f->globals, {exc.get()}) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* update_one_name() { return NX_ID(update_one); }
PyObject* update_many_name() { return NX_ID(update_many); }

// The update of `Collection` by the collection method `Method`.
template <PyObject* (*Collection)(), PyObject* (*Method)()>
constexpr nx::FuncSpec update_spec(const char* name, const char* doc) {
    return nx::spec_of<UpdateArgs, update_impl<Collection, Method>>(name, doc);
}

// The docstring of an update of `which` matching document(s) of `coll`
// (setting `setting`) with the collection method `method`.
#define NX_UPDATE_DOC(which, coll, setting, method) \
    "Set the status of " which " in " coll " whose field key equals value.\n"    \
    "\n"                                                                         \
    "key    -- the name of the field to match, taken as text (f\"{key}\")\n"     \
    "value  -- the value that field must have, matched with its own type\n"      \
    "status -- the new status, stored as text (f\"{status}\": 2 gives \"2\")\n"  \
    "\n"                                                                         \
    "Runs " coll "." method "({key: value}, {\"$set\": {\"status\": status}})\n" \
    "on the collection named by the setting " setting ". No other field is\n"    \
    "touched and no document is created when none matches. Returns None; an\n"   \
    "error (the server unreachable, for instance) is printed as one line and\n"  \
    "not raised."

constexpr nx::FuncSpec update_input_spec = update_spec<col_input_name, update_one_name>(
    "update_input", NX_UPDATE_DOC("the first work item", "col_input", "input_table", "update_one"));
constexpr nx::FuncSpec update_input_many_spec = update_spec<col_input_name, update_many_name>(
    "update_input_many",
    NX_UPDATE_DOC("every work item", "col_input", "input_table", "update_many"));
constexpr nx::FuncSpec update_pl_input_spec = update_spec<col_input_pdp_name, update_one_name>(
    "update_pl_input",
    NX_UPDATE_DOC("the first work item", "col_input_pdp", "pl_input_table", "update_one"));
constexpr nx::FuncSpec update_pl_input_many_spec =
    update_spec<col_input_pdp_name, update_many_name>(
        "update_pl_input_many",
        NX_UPDATE_DOC("every work item", "col_input_pdp", "pl_input_table", "update_many"));

#undef NX_UPDATE_DOC

}  // namespace

int define_queues(PyObject* g) {
    for (const nx::FuncSpec* spec :
         {&update_input_spec, &update_input_many_spec, &update_pl_input_spec,
          &update_pl_input_many_spec, &get_input_spec, &pl_input_spec})
        if (nx::define_function(g, *spec) < 0) return -1;
    return 0;
}

}  // namespace scrape

// Collection export: export_mongo_to_csv and export_mongo_to_excel.
//
// Both exports share every step but the writing: the argument check, the
// directory step, the start message, the read, the column rule (which fields
// become columns, in which order), the cell rule (the text of one value) and
// the end messages. Only the output differs: a csv.DictWriter on a text file,
// or one openpyxl sheet.
#include "subsystems.h"

#include <vector>

namespace scrape {
namespace {

using nx::Ref;

constexpr const char* kMissingArguments =
    "Missing filename and collectionname. Please provide filename, collectionname";

// The standard `re` with its `sub`: while the global is that, the cell rule's
// white-space collapse runs natively on exact str values.
nx::StandardModule std_re;

// Outcome of a step that may end the export by printing a message.
enum Outcome { kError = -1, kStop = 0, kGo = 1 };

// A builtin such as list or open, read as a global at the call.
Ref call_global(PyObject* g, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref fn = nx::global(g, name);
    if (!fn) return {};
    return nx::call(fn.get(), args);
}

// ---------------------------------------------------------------------------
// Steps shared by both exports
// ---------------------------------------------------------------------------

// if not filename or not collectionname: print the error dict and stop.
Outcome check_arguments(PyObject* g, PyObject* filename, PyObject* collectionname) {
    int ok = PyObject_IsTrue(filename);
    if (ok > 0) ok = PyObject_IsTrue(collectionname);
    if (ok < 0) return kError;
    if (ok) return kGo;
    return nx::print_error_dict(g, kMissingArguments) < 0 ? kError : kStop;
}

// Creates `directory` (with its parents) when it does not exist. A directory
// that another process creates between the test and the creation is fine:
// makedirs runs with exist_ok. Any other Exception prints "Folder not created".
Outcome ensure_directory(PyObject* g, PyObject* directory) {
    auto body = [g, directory]() -> int {
        Ref os = nx::global(g, NX_ID(os));
        Ref path = os ? nx::attr(os.get(), NX_ID(path)) : Ref();
        Ref exists = path ? nx::call_method(path.get(), NX_ID(exists), {directory}) : Ref();
        if (!exists) return -1;
        int present = PyObject_IsTrue(exists.get());
        if (present != 0) return present < 0 ? -1 : 0;
        os = nx::global(g, NX_ID(os));
        Ref makedirs = os ? nx::attr(os.get(), NX_ID(makedirs)) : Ref();
        if (!makedirs) return -1;
        return nx::call_kw(makedirs.get(), {directory}, {{NX_ID(exist_ok), Py_True}}) ? 0 : -1;
    };
    if (body() == 0) return kGo;
    if (!nx::pending_is_exception()) return kError;
    PyErr_Clear();
    return nx::print_error_dict(g, "Folder not created") < 0 ? kError : kStop;
}

// print(prefix + f"{value}")
int print_with(PyObject* g, PyObject* prefix, PyObject* value) {
    Ref text = nx::format_empty(value);
    Ref line = text ? nx::concat({prefix, text.get()}) : Ref();
    if (!line) return -1;
    return nx::print(g, {line.get()});
}

int print_time(PyObject* g, PyObject* prefix) {
    Ref stamp = nx::now_text(g);
    if (!stamp) return -1;
    return print_with(g, prefix, stamp.get());
}

// list(db[collectionname].find({}) [.skip(skip)] [.limit(limit)]); the window
// applies only to the Excel export, and only where skip / limit are true.
Ref read_documents(PyObject* g, PyObject* collectionname, PyObject* skip, PyObject* limit) {
    Ref db = nx::global(g, NX_ID(db));
    Ref collection = db ? nx::item(db.get(), collectionname) : Ref();
    Ref find = collection ? nx::attr(collection.get(), NX_ID(find)) : Ref();
    Ref filter = find ? Ref::steal(PyDict_New()) : Ref();
    Ref cursor = filter ? nx::call(find.get(), {filter.get()}) : Ref();
    if (!cursor) return {};
    for (auto [window, method] : {std::pair{skip, NX_ID(skip)}, std::pair{limit, NX_ID(limit)}}) {
        if (!window) continue;
        int on = PyObject_IsTrue(window);
        if (on < 0) return {};
        if (on && !(cursor = nx::call_method(cursor.get(), method, {window}))) return {};
    }
    return call_global(g, NX_ID(list), {cursor.get()});
}

// print("No data found in collection.") when the read gave nothing.
Outcome check_found(PyObject* g, PyObject* documents) {
    int any = PyObject_IsTrue(documents);
    if (any < 0) return kError;
    if (any) return kGo;
    return nx::print_text(g, "No data found in collection.") < 0 ? kError : kStop;
}

// The end: success line with the path, then the end time.
int print_end(PyObject* g, PyObject* filepath) {
    Ref stamp = nx::now_text(g);
    if (!stamp) return -1;
    if (print_with(g, NX_STR("\u2705 Export Successful! "), filepath) < 0) return -1;
    return print_with(g, NX_STR("\U0001F4C2 Export process end at: "), stamp.get());
}

// os.path.join(directory, f"{filename}{suffix}")
Ref output_path(PyObject* g, PyObject* directory, PyObject* filename, PyObject* suffix) {
    Ref name = nx::format_empty(filename);
    Ref file = name ? nx::concat({name.get(), suffix}) : Ref();
    Ref os = file ? nx::global(g, NX_ID(os)) : Ref();
    Ref path = os ? nx::attr(os.get(), NX_ID(path)) : Ref();
    if (!path) return {};
    return nx::call_method(path.get(), NX_ID(join), {directory, file.get()});
}

// ---------------------------------------------------------------------------
// Column rule and cell rule
// ---------------------------------------------------------------------------

// key in {"_id", "retry", "datetime"}
int is_excluded(PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        for (const char* name : {"_id", "retry", "datetime"})
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) return 1;
        return 0;
    }
    static PyObject* excluded = nullptr;  // kept for the life of the process
    if (!excluded) {
        excluded = PySet_New(nullptr);
        if (!excluded) return -1;
        for (PyObject* name : {NX_ID(_id), NX_ID(retry), NX_ID(datetime)})
            if (PySet_Add(excluded, name) < 0) {
                Py_CLEAR(excluded);
                return -1;
            }
    }
    return PySet_Contains(excluded, key);
}

// The compact representation is there to read (always, from 3.12 on).
bool is_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

// key.lower(); ASCII text is lowered here, everything else by its own method.
Ref lower(PyObject* key) {
    if (PyUnicode_CheckExact(key) && is_ready(key) && PyUnicode_IS_ASCII(key)) {
        const Py_UCS1* s = PyUnicode_1BYTE_DATA(key);
        Py_ssize_t n = PyUnicode_GET_LENGTH(key), i = 0;
        while (i < n && !(s[i] >= 'A' && s[i] <= 'Z')) i++;
        if (i == n) return Ref::borrow(key);
        Ref out = Ref::steal(PyUnicode_New(n, 127));
        if (!out) return {};
        Py_UCS1* d = PyUnicode_1BYTE_DATA(out.get());
        for (Py_ssize_t j = 0; j < n; j++) d[j] = (s[j] >= 'A' && s[j] <= 'Z') ? s[j] + 32 : s[j];
        return out;
    }
    return nx::call_method(key, NX_ID(lower));
}

// Visits the key and value of every entry of a document, in its own order:
// `for key, value in doc.items()` (values only when `with_values`; the
// column rule iterates the document itself). Plain dicts are walked directly,
// with the interpreter's check that the dict does not change size meanwhile.
template <class Visit>
int for_each_entry(PyObject* doc, bool with_values, Visit visit) {
    if (PyDict_CheckExact(doc)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(doc);
        PyObject *k, *v;
        while (PyDict_Next(doc, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (visit(key.get(), value.get()) < 0) return -1;
            if (PyDict_GET_SIZE(doc) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
        return 0;
    }
    Ref iterable = with_values ? nx::call_method(doc, NX_ID(items)) : Ref::borrow(doc);
    Ref it = iterable ? Ref::steal(PyObject_GetIter(iterable.get())) : Ref();
    if (!it) return -1;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        if (!with_values) {
            if (visit(entry.get(), Py_None) < 0) return -1;
            continue;
        }
        Ref pair = Ref::steal(PySequence_Tuple(entry.get()));
        if (!pair) return -1;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            if (PyTuple_GET_SIZE(pair.get()) < 2)
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             PyTuple_GET_SIZE(pair.get()));
            else
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            return -1;
        }
        if (visit(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Apply fn to every document of the list that the read returned.
template <class Fn>
int for_each_document(PyObject* documents, Fn fn) {
    Ref it = Ref::steal(PyObject_GetIter(documents));
    if (!it) return -1;
    while (Ref doc = Ref::steal(PyIter_Next(it.get())))
        if (fn(doc.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

// The column rule: lower-case field names in first-seen order, the excluded
// fields left out (compared as written), "page_save" moved last.
Ref column_order(PyObject* documents) {
    Ref order = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!order || !seen) return {};
    int rc = for_each_document(documents, [&](PyObject* doc) {
        return for_each_entry(doc, false, [&](PyObject* key, PyObject*) -> int {
            Ref key_lower = lower(key);
            if (!key_lower) return -1;
            int skip = is_excluded(key);
            if (skip == 0) skip = PySet_Contains(seen.get(), key_lower.get());
            if (skip != 0) return skip < 0 ? -1 : 0;
            if (PyList_Append(order.get(), key_lower.get()) < 0) return -1;
            return PySet_Add(seen.get(), key_lower.get());
        });
    });
    if (rc < 0) return {};

    // if "page_save" in field_order: field_order.remove("page_save"); field_order.append(...)
    PyObject* page_save = NX_ID(page_save);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()); i++) {
        Ref name = Ref::borrow(PyList_GET_ITEM(order.get(), i));
        int eq = PyObject_RichCompareBool(name.get(), page_save, Py_EQ);
        if (eq < 0) return {};
        if (!eq) continue;
        if (PySequence_DelItem(order.get(), i) < 0) return {};
        if (PyList_Append(order.get(), page_save) < 0) return {};
        break;
    }
    return order;
}

bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// re.sub(r"\s{2,}", " ", text).strip() for an exact str: every run of two or
// more white-space characters inside the text becomes one space, single ones
// stay, and white space at both ends goes.
Ref collapse_white_space(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return {};
#endif
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0, end = n;
    while (start < end && is_space(PyUnicode_READ(kind, data, start))) start++;
    while (end > start && is_space(PyUnicode_READ(kind, data, end - 1))) end--;

    bool has_run = false;
    for (Py_ssize_t i = start; i + 1 < end && !has_run; i++)
        has_run = is_space(PyUnicode_READ(kind, data, i)) &&
                  is_space(PyUnicode_READ(kind, data, i + 1));
    if (!has_run) {
        if (start == 0 && end == n) return Ref::borrow(text);
        return Ref::steal(PyUnicode_Substring(text, start, end));
    }

    // Same storage width as the input; building from it picks the narrowest
    // width the result needs (a collapsed run may hold the only wide chars).
    std::vector<char> buf((size_t)(end - start) * (size_t)kind);
    void* out = buf.data();
    Py_ssize_t m = 0;
    for (Py_ssize_t i = start; i < end;) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_space(c) && i + 1 < end && is_space(PyUnicode_READ(kind, data, i + 1))) {
            while (i < end && is_space(PyUnicode_READ(kind, data, i))) i++;
            PyUnicode_WRITE(kind, out, m, ' ');
        } else {
            PyUnicode_WRITE(kind, out, m, c);
            i++;
        }
        m++;
    }
    return Ref::steal(PyUnicode_FromKindAndData(kind, out, m));
}

// The cell rule for one value: re.sub(r"\s{2,}", " ", str(value)).strip()
Ref cell_text(PyObject* g, PyObject* value) {
    Ref re = nx::global(g, NX_ID(re));
    Ref sub = re ? nx::attr(re.get(), NX_ID(sub)) : Ref();
    Ref text = sub ? Ref::steal(PyObject_Str(value)) : Ref();
    if (!text) return {};
    if (std_re.is(re.get()) && PyUnicode_CheckExact(text.get()))
        return collapse_white_space(text.get());
    Ref collapsed = nx::call(sub.get(), {NX_STR("\\s{2,}"), NX_STR(" "), text.get()});
    if (!collapsed) return {};
    return nx::call_method(collapsed.get(), NX_ID(strip));
}

// cleaned_doc: lower-case field name -> cell text, excluded fields left out;
// of two keys that lower-case alike the later one wins.
Ref cleaned_document(PyObject* g, PyObject* doc) {
    Ref cleaned = Ref::steal(PyDict_New());
    if (!cleaned) return {};
    int rc = for_each_entry(doc, true, [&](PyObject* key, PyObject* value) -> int {
        int skip = is_excluded(key);
        if (skip != 0) return skip < 0 ? -1 : 0;
        Ref text = cell_text(g, value);
        Ref key_lower = text ? lower(key) : Ref();
        if (!key_lower) return -1;
        return PyDict_SetItem(cleaned.get(), key_lower.get(), text.get());
    });
    if (rc < 0) return {};
    return cleaned;
}

// cleaned_doc.get(field, "")
PyObject* cell_of(PyObject* cleaned, PyObject* field) {
    PyObject* v = PyDict_GetItemWithError(cleaned, field);
    if (!v && !PyErr_Occurred()) v = NX_STR("");
    return v;
}

// The shared front of both exports, up to the documents and their columns.
// kGo leaves the documents and the column order in the out-parameters.
Outcome prepare(PyObject* g, PyObject* const* a, PyObject* skip, PyObject* limit,
                Ref* documents, Ref* columns) {
    Outcome step = check_arguments(g, a[0], a[1]);
    if (step == kGo) step = ensure_directory(g, a[2]);
    if (step != kGo) return step;
    if (print_time(g, NX_STR("\U0001F4C2 Export process started at: ")) < 0) return kError;
    *documents = read_documents(g, a[1], skip, limit);
    if (!*documents) return kError;
    step = check_found(g, documents->get());
    if (step != kGo) return step;
    *columns = column_order(documents->get());
    return *columns ? kGo : kError;
}

// ---------------------------------------------------------------------------
// CSV export
// ---------------------------------------------------------------------------

int write_csv(PyObject* g, PyObject* file, PyObject* documents, PyObject* columns) {
    Ref csv = nx::global(g, NX_ID(csv));
    Ref dict_writer = csv ? nx::attr(csv.get(), NX_ID(DictWriter)) : Ref();
    Ref writer = dict_writer ? nx::call_kw(dict_writer.get(), {file}, {{NX_ID(fieldnames), columns}})
                             : Ref();
    if (!writer || !nx::call_method(writer.get(), NX_ID(writeheader))) return -1;
    return for_each_document(documents, [&](PyObject* doc) -> int {
        Ref cleaned = cleaned_document(g, doc);
        Ref row = cleaned ? Ref::steal(PyDict_New()) : Ref();
        if (!row) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); i++) {
            PyObject* field = PyList_GET_ITEM(columns, i);
            PyObject* cell = cell_of(cleaned.get(), field);
            if (!cell || PyDict_SetItem(row.get(), field, cell) < 0) return -1;
        }
        return nx::call_method(writer.get(), NX_ID(writerow), {row.get()}) ? 0 : -1;
    });
}

PyObject* export_csv(nx::Function* f, PyObject* const* a) {
    PyObject* g = f->globals;
    Ref documents, columns;
    Outcome step = prepare(g, a, nullptr, nullptr, &documents, &columns);
    if (step != kGo) {
        if (step == kError) return nullptr;
        Py_RETURN_NONE;
    }
    Ref filepath = output_path(g, a[2], a[0], NX_STR(".csv"));
    Ref file = filepath ? nx::global(g, NX_ID(open)) : Ref();
    if (file)
        file = nx::call_kw(file.get(), {filepath.get()},
                           {{NX_ID(mode), NX_STR("w")},
                            {NX_ID(newline), NX_STR("")},
                            {NX_ID(encoding), NX_STR("utf-8")}});
    if (!file) return nullptr;
    if (nx::with_block(file.get(), [&](PyObject* entered) {
            return write_csv(g, entered, documents.get(), columns.get());
        }) < 0)
        return nullptr;
    if (print_end(g, filepath.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// What both exports' docstrings say about the columns, the cells and the
// messages.
#define NX_EXPORT_RULES                                                              \
    "Columns: every field name in lower case, in the order first met, with\n"        \
    "\"page_save\" moved last; keys that differ only in case share a column;\n"      \
    "\"_id\", \"retry\" and \"datetime\" are left out. Cells: str() of the value\n"  \
    "with each run of white space made one space and the ends stripped; \"\"\n"      \
    "where a document lacks the field.\n"                                            \
    "\n"                                                                               \
    "Returns None and reports on standard output: the start time, then\n"           \
    "\"Export Successful! <path>\" and the end time; or one of\n"                    \
    "  {'status': 'error', 'message': 'Missing filename and collectionname.\n"      \
    "  Please provide filename, collectionname'}   (filename or collectionname\n"   \
    "                                              false; nothing done)\n"          \
    "  {'status': 'error', 'message': 'Folder not created'}   (directory\n"         \
    "                                              missing or not creatable)\n"     \
    "  No data found in collection.                (no file written)\n"             \
    "Other errors (database, file system, a value whose str() raises) reach\n"     \
    "the caller."

const nx::FuncSpec export_csv_spec = {
    "export_mongo_to_csv",
    "Write every document of a collection to <directory>/<filename>.csv.\n"
    "\n"
    "filename       -- base name of the file (any object, as f\"{filename}\");\n"
    "                  \".csv\" is appended\n"
    "collectionname -- the collection of db to export\n"
    "directory      -- where the file goes; created with its parents\n"
    "\n"
    "The file is UTF-8 CSV (comma separated, quoted where needed, CRLF line\n"
    "ends) with a header line, and replaces an existing file of that name.\n"
    NX_EXPORT_RULES,
    3,
    {"filename", "collectionname", "directory"},
    export_csv,
};

// ---------------------------------------------------------------------------
// Excel export
// ---------------------------------------------------------------------------

PyObject* export_excel(nx::Function* f, PyObject* const* a) {
    PyObject* g = f->globals;
    Ref documents, columns;
    Outcome step = prepare(g, a, a[3], a[4], &documents, &columns);
    if (step != kGo) {
        if (step == kError) return nullptr;
        Py_RETURN_NONE;
    }
    Ref wb = call_global(g, NX_ID(Workbook), {});
    Ref ws = wb ? nx::attr(wb.get(), NX_ID(active)) : Ref();
    if (!ws || PyObject_SetAttr(ws.get(), NX_ID(title), a[1]) < 0) return nullptr;
    if (!nx::call_method(ws.get(), NX_ID(append), {columns.get()})) return nullptr;
    PyObject* fields = columns.get();
    int rc = for_each_document(documents.get(), [&](PyObject* doc) -> int {
        Ref cleaned = cleaned_document(g, doc);
        Ref row = cleaned ? Ref::steal(PyList_New(PyList_GET_SIZE(fields))) : Ref();
        if (!row) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields); i++) {
            PyObject* cell = cell_of(cleaned.get(), PyList_GET_ITEM(fields, i));
            if (!cell) return -1;
            Py_INCREF(cell);
            PyList_SET_ITEM(row.get(), i, cell);
        }
        return nx::call_method(ws.get(), NX_ID(append), {row.get()}) ? 0 : -1;
    });
    if (rc < 0) return nullptr;
    Ref filepath = output_path(g, a[2], a[0], NX_STR(".xlsx"));
    if (!filepath || !nx::call_method(wb.get(), NX_ID(save), {filepath.get()})) return nullptr;
    if (print_end(g, filepath.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const nx::FuncSpec export_excel_spec = {
    "export_mongo_to_excel",
    "Write the documents of a collection to <directory>/<filename>.xlsx.\n"
    "\n"
    "filename       -- base name of the file (any object, as f\"{filename}\");\n"
    "                  \".xlsx\" is appended\n"
    "collectionname -- the collection of db to export; also the sheet's title\n"
    "directory      -- where the file goes; created with its parents\n"
    "skip           -- when true, the number of documents to skip\n"
    "limit          -- when true, the largest number of documents (0: all)\n"
    "\n"
    "The workbook has one sheet: a header row, then one row per document,\n"
    "every cell text. It is built in memory and saved at the end, replacing\n"
    "an existing file; skip and limit bound what is read.\n"
    NX_EXPORT_RULES,
    5,
    {"filename", "collectionname", "directory", "skip", "limit"},
    export_excel,
};

#undef NX_EXPORT_RULES

}  // namespace

int define_export(PyObject* g) {
    if (std_re.capture("re", {"sub"}) < 0) return -1;
    if (nx::define_function(g, export_csv_spec, {Py_None, Py_None, Py_None}) < 0) return -1;
    Ref zero = nx::integer(0);
    if (!zero) return -1;
    return nx::define_function(g, export_excel_spec,
                               {Py_None, Py_None, Py_None, zero.get(), zero.get()});
}

}  // namespace scrape

// Collection export: export_mongo_to_csv and export_mongo_to_excel.
//
// Both exports share every step but the writing: the argument check, the
// directory step, the start message, the read, the column rule (which fields
// become columns, in which order), the cell rule (the text of one value) and
// the end messages. Only the output differs: a CSV file or a workbook.
//
// The read is one pass over the cursor: the column rule keeps the names met
// so far, the cell texts go to a spool (files.h), and the file is written
// from the spool once the header is known, to a temporary file that replaces
// the final one only when complete. With the standard csv, open and re the
// CSV lines are made natively (csv.cpp); with openpyxl's Workbook the
// sheet is written natively into openpyxl's own package (xlsx.cpp).
// Otherwise the module globals are called as interpreted code would.
#include "../../capi/pystr.h"
#include "../common.h"
#include "../state.h"
#include "../subsystems.h"
#include "writers.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace scrape {
namespace {

using nx::Ref;

constexpr const char* kMissingArguments =
    "Missing filename and collectionname. Please provide filename, collectionname";

// While the global `re` is the standard one (state().cells), the cell rule's
// white-space collapse runs natively on exact str values. While csv is the
// standard one (state().csv: its DictWriter and the writer that uses, its
// default dialect unchanged) and open the builtin one, the CSV lines are made
// natively.

// The arguments of the two exports, by name; Excel's add the read's window.
#define EXPORT_CSV_PARAMS(P)               \
    P(filename, nx::Default::none())       \
    P(collectionname, nx::Default::none()) \
    P(directory, nx::Default::none())
#define EXPORT_EXCEL_PARAMS(P)  \
    EXPORT_CSV_PARAMS(P)        \
    P(skip, nx::Default::of(0)) \
    P(limit, nx::Default::of(0))
NX_ARGUMENTS(CsvArgs, EXPORT_CSV_PARAMS);
NX_ARGUMENTS(ExcelArgs, EXPORT_EXCEL_PARAMS);

// How a step that may end the export by printing a message ended.
enum Proceed { kError = -1, kStop = 0, kGo = 1 };

// ---------------------------------------------------------------------------
// Steps shared by both exports
// ---------------------------------------------------------------------------

// if not filename or not collectionname: print the error dict and stop.
Proceed check_arguments(PyObject* g, PyObject* filename, PyObject* collectionname) {
    int ok = PyObject_IsTrue(filename);
    if (ok > 0) ok = PyObject_IsTrue(collectionname);
    if (ok < 0) return kError;
    if (ok) return kGo;
    return print_error_dict(g, kMissingArguments) < 0 ? kError : kStop;
}

// Creates `directory` (with its parents) when it does not exist. A directory
// that another process creates between the test and the creation is fine:
// makedirs runs with exist_ok. Any other Exception prints "Folder not created".
Proceed make_directory(PyObject* g, PyObject* directory) {
    if (ensure_directory(g, directory) == 0) return kGo;
    if (!nx::pending_is_exception()) return kError;
    PyErr_Clear();
    return print_error_dict(g, "Folder not created") < 0 ? kError : kStop;
}

int print_time(PyObject* g, PyObject* prefix) {
    Ref stamp = now_text(g);
    if (!stamp) return -1;
    return nx::print_value(g, prefix, stamp.get());
}

// The end: success line with the path, then the end time.
int print_end(PyObject* g, PyObject* filepath) {
    Ref stamp = now_text(g);
    if (!stamp) return -1;
    if (nx::print_value(g, NX_STR("\u2705 Export Successful! "), filepath) < 0) return -1;
    return nx::print_value(g, NX_STR("\U0001F4C2 Export process end at: "), stamp.get());
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
        if (!nx::is_ready(key) || !PyUnicode_IS_ASCII(key)) return 0;
        const char* s = (const char*)PyUnicode_1BYTE_DATA(key);
        switch (PyUnicode_GET_LENGTH(key)) {
            case 3: return memcmp(s, "_id", 3) == 0;
            case 5: return memcmp(s, "retry", 5) == 0;
            case 8: return memcmp(s, "datetime", 8) == 0;
            default: return 0;
        }
    }
    PyObject*& excluded = state().excluded;
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

// key.lower(); ASCII text is lowered here, everything else by its own method.
Ref lower(PyObject* key) {
    if (PyUnicode_CheckExact(key) && nx::is_ready(key) && PyUnicode_IS_ASCII(key)) {
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

// ---------------------------------------------------------------------------
// The read: one pass over the cursor
// ---------------------------------------------------------------------------

// db[collectionname].find({}) [.skip(skip)] [.limit(limit)]; the window
// applies only to the Excel export, and only where skip / limit are true.
Ref open_cursor(PyObject* g, PyObject* collectionname, PyObject* skip, PyObject* limit) {
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
    return cursor;
}

// Where a spool too large for memory goes: the export directory.
std::string spool_dir(PyObject* directory) {
    std::string dir;
    if (!exports::native_path(directory, &dir) || dir.empty()) dir = ".";
    return dir;
}

// Values whose str() runs no Python code, so cannot rebind a global.
bool plain_text_type(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None;
}

// One pass over the cursor: the column rule and the cell rule for each
// document as it arrives, the cells spooled row by row. The interpreted
// export reads the whole cursor before anything else, then applies the column
// rule to every document, then the cell rule row by row while writing; so a
// failure of either rule does not end the read: the first of the column rule
// is raised once the cursor is exhausted, the first of the cell rule by the
// writer when it reaches that row. Errors of the read itself end it at once.
class Reader {
public:
    Reader(PyObject* g, exports::Table& table) : g_(g), t_(table) {}

    int read(PyObject* cursor, Py_ssize_t* documents) {
        t_.names = Ref::steal(PyDict_New());
        t_.field_order = Ref::steal(PyList_New(0));
        Ref it = t_.names && t_.field_order ? Ref::steal(PyObject_GetIter(cursor)) : Ref();
        if (!it) return -1;
        while (Ref doc = Ref::steal(PyIter_Next(it.get()))) {
            ++*documents;
            if (column_failure_) continue;
            if (column_rule(doc.get()) < 0) {
                if (!exports::keep_failure(&column_failure_)) return -1;
                continue;
            }
            if (t_.cell_failure) continue;
            if (cell_rule(doc.get()) < 0) {
                if (!exports::keep_failure(&t_.cell_failure)) return -1;
                continue;
            }
            if (t_.spool.add_row(block_) < 0) return -1;
            t_.rows++;
        }
        if (PyErr_Occurred()) return -1;
        if (column_failure_) {
            nx::raise_again(std::move(column_failure_));
            return -1;
        }
        return 0;
    }

    // if "page_save" in field_order: field_order.remove("page_save"); field_order.append(...)
    int page_save_last() {
        PyObject* order = t_.field_order.get();
        PyObject* page_save = NX_ID(page_save);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order); i++) {
            Ref name = Ref::borrow(PyList_GET_ITEM(order, i));
            int eq = PyObject_RichCompareBool(name.get(), page_save, Py_EQ);
            if (eq < 0) return -1;
            if (!eq) continue;
            if (PySequence_DelItem(order, i) < 0 || PyList_Append(order, page_save) < 0) return -1;
            Py_ssize_t moved = column_ids_[(size_t)i];
            column_ids_.erase(column_ids_.begin() + i);
            column_ids_.push_back(moved);
            break;
        }
        for (size_t p = 0; p < column_ids_.size(); p++)
            t_.column_of[(size_t)column_ids_[p]] = (Py_ssize_t)p;
        return 0;
    }

private:
    // The number of a lower-case name, given when first met.
    Py_ssize_t id_of(PyObject* key_lower) {
        PyObject* v = PyDict_GetItemWithError(t_.names.get(), key_lower);
        if (v) return PyLong_AsSsize_t(v);
        if (PyErr_Occurred()) return -1;
        Py_ssize_t id = (Py_ssize_t)t_.column_of.size();
        Ref number = Ref::steal(PyLong_FromSsize_t(id));
        if (!number || PyDict_SetItem(t_.names.get(), key_lower, number.get()) < 0) return -1;
        t_.column_of.push_back(-1);
        return id;
    }

    // The number of an exact, ASCII str key's lower-case name, found by its
    // bytes (lower-cased here) without making the name as a str each time.
    Py_ssize_t ascii_id(PyObject* key) {
        const char* s = (const char*)PyUnicode_1BYTE_DATA(key);
        lowered_.assign(s, (size_t)PyUnicode_GET_LENGTH(key));
        for (char& c : lowered_)
            if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        auto found = ascii_ids_.find(lowered_);
        if (found != ascii_ids_.end()) return found->second;
        Ref key_lower = lower(key);
        Py_ssize_t id = key_lower ? id_of(key_lower.get()) : -1;
        if (id >= 0) ascii_ids_.emplace(lowered_, id);
        return id;
    }

    // Lower-case field names in first-seen order, the excluded ones (compared
    // as written) left out.
    int column_rule(PyObject* doc) {
        doc_ids_.clear();
        return exports::for_each_entry(doc, false, [&](PyObject* key, PyObject*) -> int {
            Py_ssize_t id;
            bool exact = PyUnicode_CheckExact(key);
            if (exact && nx::is_ready(key) && PyUnicode_IS_ASCII(key)) {
                if (is_excluded(key)) return 0;
                id = ascii_id(key);
            } else {
                Ref key_lower = lower(key);
                if (!key_lower) return -1;
                int skip = is_excluded(key);
                if (skip != 0) return skip < 0 ? -1 : 0;
                id = id_of(key_lower.get());
            }
            if (id < 0) return -1;
            if (exact) doc_ids_.emplace_back(key, id);
            if (t_.column_of[(size_t)id] >= 0) return 0;
            Ref key_lower = lower(key);
            if (!key_lower) return -1;
            t_.column_of[(size_t)id] = PyList_GET_SIZE(t_.field_order.get());
            column_ids_.push_back(id);
            return PyList_Append(t_.field_order.get(), key_lower.get());
        });
    }

    // cleaned_doc, spooled: for each field not excluded, its lower-case name
    // and re.sub(r"\s{2,}", " ", str(value)).strip(); of two keys that
    // lower-case alike the later one wins when the row is read back.
    int cell_rule(PyObject* doc) {
        block_.clear();
        size_t next = 0;
        bool checked = false, standard = false;
        return exports::for_each_entry(doc, true, [&](PyObject* key, PyObject* value) -> int {
            int skip = is_excluded(key);
            if (skip != 0) return skip < 0 ? -1 : 0;
            // re.sub as interpreted code reads it, the standard one without a
            // call. Seen once again only after a str() that may run Python code.
            if (!checked) standard = state().cells.native(g_);
            checked = plain_text_type(value);
            Ref re, sub;
            if (!standard &&
                (!(re = nx::global(g_, NX_ID(re))) || !(sub = nx::attr(re.get(), NX_ID(sub)))))
                return -1;
            Ref text = Ref::steal(PyObject_Str(value));
            if (!text) return -1;
            Py_ssize_t id;
            if (next < doc_ids_.size() && doc_ids_[next].first == key) {
                id = doc_ids_[next++].second;  // the same str key: the same name
            } else {
                Ref key_lower = lower(key);
                id = key_lower ? id_of(key_lower.get()) : -1;
                if (id < 0) return -1;
            }
            if (standard && PyUnicode_CheckExact(text.get())) {
                return exports::append_text_cell(&block_, id, text.get(), true);
            }
            if (!sub &&
                (!(re = nx::global(g_, NX_ID(re))) || !(sub = nx::attr(re.get(), NX_ID(sub)))))
                return -1;
            Ref collapsed = nx::call(sub.get(), {NX_STR("\\s{2,}"), NX_STR(" "), text.get()});
            Ref cell = collapsed ? nx::call_method(collapsed.get(), NX_ID(strip)) : Ref();
            if (!cell) return -1;
            if (!PyUnicode_CheckExact(cell.get()))
                return exports::append_object_cell(t_, &block_, id, cell.get());
            return exports::append_text_cell(&block_, id, cell.get(), false);
        });
    }

    PyObject* g_;
    exports::Table& t_;
    Ref column_failure_;
    std::string block_;
    std::vector<Py_ssize_t> column_ids_;                     // column -> id
    std::vector<std::pair<PyObject*, Py_ssize_t>> doc_ids_;  // this document's str keys
    std::unordered_map<std::string, Py_ssize_t> ascii_ids_;  // lower-cased ASCII key -> id
    std::string lowered_;
};

// The shared front of both exports, up to the table of the read.
template <class Args>
Proceed prepare(PyObject* g, const Args& a, PyObject* skip, PyObject* limit,
                exports::Table* table) {
    Proceed step = check_arguments(g, a.filename, a.collectionname);
    if (step == kGo) step = make_directory(g, a.directory);
    if (step != kGo) return step;
    if (print_time(g, NX_STR("\U0001F4C2 Export process started at: ")) < 0) return kError;
    Ref cursor = open_cursor(g, a.collectionname, skip, limit);
    if (!cursor) return kError;
    Reader reader(g, *table);
    Py_ssize_t documents = 0;
    int rc = reader.read(cursor.get(), &documents);
    if (rc == 0 && documents == 0)  // print("No data found in collection.")
        return nx::print_text(g, "No data found in collection.") < 0 ? kError : kStop;
    if (rc < 0 || reader.page_save_last() < 0) return kError;
    return kGo;
}

// Each spooled row as the Python row the writers get: a dict by column name
// (`as_dict`) or a list in column order.
template <class Fn>
int for_each_row(exports::Table& t, bool as_dict, Fn fn) {
    PyObject* names = t.field_order.get();
    return t.replay([&](const std::vector<exports::Cell>& cells) {
        Ref row = Ref::steal(as_dict ? PyDict_New() : PyList_New(t.columns()));
        if (!row) return -1;
        for (Py_ssize_t i = 0; i < t.columns(); i++) {
            Ref text = exports::cell_str(cells[(size_t)i]);
            if (!text) return -1;
            if (as_dict) {
                if (PyDict_SetItem(row.get(), PyList_GET_ITEM(names, i), text.get()) < 0) return -1;
            } else {
                PyList_SET_ITEM(row.get(), i, text.release());
            }
        }
        return fn(row.get());
    });
}

// ---------------------------------------------------------------------------
// CSV export
// ---------------------------------------------------------------------------

// csv.DictWriter on an open file: the generic writer, for a csv or open that
// is not the standard one, or cells that are not text.
int write_csv_generic(PyObject* g, PyObject* file, exports::Table& t) {
    Ref csv = nx::global(g, NX_ID(csv));
    Ref dict_writer = csv ? nx::attr(csv.get(), NX_ID(DictWriter)) : Ref();
    Ref writer = dict_writer ? nx::call_kw(dict_writer.get(), {file},
                                           {{NX_ID(fieldnames), t.field_order.get()}})
                             : Ref();
    if (!writer || !nx::call_method(writer.get(), NX_ID(writeheader))) return -1;
    Ref writerow = nx::attr(writer.get(), NX_ID(writerow));
    if (!writerow) return -1;
    return for_each_row(t, true,
                        [&](PyObject* row) { return nx::call(writerow.get(), {row}) ? 0 : -1; });
}

// open(path, mode="w", newline="", encoding="utf-8") with the global open.
Ref open_text(PyObject* g, PyObject* path) {
    Ref open = nx::global(g, NX_ID(open));
    if (!open) return {};
    return nx::call_kw(open.get(), {path},
                       {{NX_ID(mode), NX_STR("w")},
                        {NX_ID(newline), NX_STR("")},
                        {NX_ID(encoding), NX_STR("utf-8")}});
}

// Are csv and open the standard ones (csv's default dialect unchanged), and
// the header and every cell text?
bool csv_native(PyObject* g, exports::Table& t) {
    Ref csv = nx::global(g, NX_ID(csv));
    Ref open = csv ? nx::global(g, NX_ID(open)) : Ref();
    if (!open || !state().csv.native(g) || open.get() != state().open || !t.all_text()) {
        PyErr_Clear();
        return false;
    }
    Ref dialect = nx::call_method(csv.get(), NX_ID(get_dialect), {NX_STR("excel")});
    if (!dialect || dialect.get() != state().csv_dialect) {
        PyErr_Clear();
        return false;
    }
    return t.header_all_text();
}

PyObject* export_csv(nx::Function* f, const CsvArgs& a) {
    PyObject* g = f->globals;
    exports::Table table(spool_dir(a.directory));
    Proceed step = prepare(g, a, nullptr, nullptr, &table);
    if (step != kGo) {
        if (step == kError) return nullptr;
        Py_RETURN_NONE;
    }
    Ref filepath = output_path(g, a.directory, a.filename, NX_STR(".csv"));
    if (!filepath) return nullptr;
    bool native = csv_native(g, table);
    Ref open = nx::global(g, NX_ID(open));
    if (!open) return nullptr;
    exports::OutputFile out;
    if (native) {
        if (out.create(filepath.get()) < 0 || exports::write_csv(table, out.out()) < 0 ||
            out.commit() < 0)
            return nullptr;
    } else {
        // A file of the standard open is written beside and moved into place;
        // another open is given the final path, as it may not make a file.
        bool beside = open.get() == state().open;
        Ref path = filepath;
        if (beside &&
            (out.create(filepath.get()) < 0 || out.hand_over() < 0 || !(path = out.temp_object())))
            return nullptr;
        Ref file = open_text(g, path.get());
        if (!file || nx::with_block(file.get(), [&](PyObject* entered) {
                         return write_csv_generic(g, entered, table);
                     }) < 0)
            return nullptr;
        if (beside && out.commit() < 0) return nullptr;
    }
    if (print_end(g, filepath.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// What both exports' docstrings say about the columns, the cells and the
// messages.
#define NX_EXPORT_RULES \
    "Columns: every field name in lower case, in the order first met, with\n"       \
    "\"page_save\" moved last; keys that differ only in case share a column;\n"     \
    "\"_id\", \"retry\" and \"datetime\" are left out. Cells: str() of the value\n" \
    "with each run of white space made one space and the ends stripped; \"\"\n"     \
    "where a document lacks the field.\n"                                           \
    "\n"                                                                            \
    "The collection is read once; memory does not grow with its size. The file\n"   \
    "is written beside its final name, synced to the disk and moved into place\n"   \
    "when complete, so a failed export (or a power cut) leaves an earlier file\n"   \
    "of that name as it was.\n"                                                     \
    "\n"                                                                            \
    "Returns None and reports on standard output: the start time, then\n"           \
    "\"Export Successful! <path>\" and the end time; or one of\n"                   \
    "  {'status': 'error', 'message': 'Missing filename and collectionname.\n"      \
    "  Please provide filename, collectionname'}   (filename or collectionname\n"   \
    "                                              false; nothing done)\n"          \
    "  {'status': 'error', 'message': 'Folder not created'}   (directory\n"         \
    "                                              missing or not creatable)\n"     \
    "  No data found in collection.                (no file written)\n"             \
    "Other errors (database, file system, a value whose str() raises) reach\n"      \
    "the caller."

constexpr nx::FuncSpec export_csv_spec = nx::spec_of<CsvArgs, export_csv>(
    "export_mongo_to_csv",
    "Write every document of a collection to <directory>/<filename>.csv.\n"
    "\n"
    "filename       -- base name of the file (any object, as f\"{filename}\");\n"
    "                  \".csv\" is appended\n"
    "collectionname -- the collection of db to export\n"
    "directory      -- where the file goes; created with its parents\n"
    "\n"
    "The file is UTF-8 CSV (comma separated, quoted where needed, CRLF line\n"
    "ends) with a header line, and replaces an existing file of that name.\n" NX_EXPORT_RULES);

// ---------------------------------------------------------------------------
// Excel export
// ---------------------------------------------------------------------------

// ws.append(row) on the generic path. On an openpyxl sheet a text that the
// library would take for a formula ("=...") or an error code ("#N/A") is
// made a text cell again: every cell of the export is text.
int append_generic(PyObject* ws, PyObject* row, bool text_cells, long row_number) {
    if (!nx::call_method(ws, NX_ID(append), {row})) return -1;
    if (!text_cells || !PyList_Check(row)) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(row); i++) {
        PyObject* v = PyList_GET_ITEM(row, i);
        if (!PyUnicode_Check(v) || PyUnicode_GET_LENGTH(v) == 0) continue;
        Py_UCS4 first = PyUnicode_READ_CHAR(v, 0);
        if (first != '=' && first != '#') continue;
        Ref r = nx::integer(row_number), c = r ? nx::integer((long)i + 1) : Ref();
        Ref cell_method = c ? nx::attr(ws, NX_ID(cell)) : Ref();
        Ref cell = cell_method ? nx::call_kw(cell_method.get(), {},
                                             {{NX_ID(row), r.get()}, {NX_ID(column), c.get()}})
                               : Ref();
        if (!cell || PyObject_SetAttr(cell.get(), NX_ID(data_type), NX_STR("s")) < 0) return -1;
    }
    return 0;
}

PyObject* export_excel(nx::Function* f, const ExcelArgs& a) {
    PyObject* g = f->globals;
    exports::Table table(spool_dir(a.directory));
    Proceed step = prepare(g, a, a.skip, a.limit, &table);
    if (step != kGo) {
        if (step == kError) return nullptr;
        Py_RETURN_NONE;
    }
    Ref workbook = nx::global(g, NX_ID(Workbook));
    if (!workbook) return nullptr;
    exports::WorkbookKind kind = exports::workbook_kind(workbook.get());
    Ref wb = nx::call(workbook.get(), {});
    Ref ws = wb ? nx::attr(wb.get(), NX_ID(active)) : Ref();
    if (!ws || PyObject_SetAttr(ws.get(), NX_ID(title), a.collectionname) < 0) return nullptr;
    exports::OutputFile out;
    Ref filepath;
    // The native sheet writer takes text alone: column names of another type
    // (bytes keys, say) go to the library's own writer, as the cells do.
    if (kind == exports::kNativeSheet && table.all_text() && table.header_all_text()) {
        filepath = output_path(g, a.directory, a.filename, NX_STR(".xlsx"));
        if (!filepath || out.create(filepath.get()) < 0 ||
            exports::write_xlsx(table, wb.get(), ws.get(), out.out()) < 0 || out.commit() < 0)
            return nullptr;
    } else {
        // openpyxl's workbook is saved beside and moved into place; another
        // Workbook saves where it is told, as it may not make a file.
        bool library = kind != exports::kOtherWorkbook;
        long row_number = 1;
        if (append_generic(ws.get(), table.field_order.get(), library, row_number) < 0 ||
            for_each_row(table, false, [&](PyObject* row) {
                return append_generic(ws.get(), row, library, ++row_number);
            }) < 0)
            return nullptr;
        filepath = output_path(g, a.directory, a.filename, NX_STR(".xlsx"));
        Ref path = filepath;
        if (!filepath || (library && (out.create(filepath.get()) < 0 || out.hand_over() < 0 ||
                                      !(path = out.temp_object()))))
            return nullptr;
        if (!nx::call_method(wb.get(), NX_ID(save), {path.get()})) return nullptr;
        if (library && out.commit() < 0) return nullptr;
    }
    if (print_end(g, filepath.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr nx::FuncSpec export_excel_spec = nx::spec_of<ExcelArgs, export_excel>(
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
    "every cell a text cell (a text such as \"=1+1\" is not a formula). It\n"
    "replaces an existing file; skip and limit bound what is read.\n" NX_EXPORT_RULES);

#undef NX_EXPORT_RULES

}  // namespace

int define_export(PyObject* g) {
    State& st = state();
    if (st.cells.capture({{"re", "re", {"sub"}}}) < 0 ||
        st.csv.capture({{"csv", "csv", {"DictWriter", "writer", "get_dialect"}}}) < 0)
        return -1;
    if (!st.open) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        Ref open = builtins ? nx::attr(builtins.get(), NX_ID(open)) : Ref();
        if (!open) return -1;
        st.open = open.release();
    }
    if (!st.csv_dialect) {
        Ref dialect = nx::call(st.csv[0].attr(2), {NX_STR("excel")});
        if (!dialect) return -1;
        st.csv_dialect = dialect.release();
    }
    if (nx::define_function(g, export_csv_spec) < 0) return -1;
    return nx::define_function(g, export_excel_spec);
}

}  // namespace scrape

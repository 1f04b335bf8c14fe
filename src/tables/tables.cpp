// Nexra_publish.tables: TableWriter, the exports' table filled row by row.
//
// A writer takes rows one at a time (mappings), makes each value's cell by
// the exports' cell rule, and spools the cells as the exports do (in memory
// while they are few, then in an unnamed file), so its memory does not grow
// with the rows. Its columns are the field names of every row, in the order
// first met (or a fixed list given up front). At the end it writes the
// table with the exports' own writers: the CSV lines as csv.DictWriter
// writes them, or openpyxl's workbook package with the sheet made natively,
// every cell text. finish() writes the whole file to an open binary file
// object in chunks; commit() writes it beside a path and moves it into
// place, on the disk, as the exports write theirs.
//
// A row that cannot be written is refused when it is handed in (its error
// raised by write_row, nothing of it kept), so the file written at the end
// holds every row that write_row took.
#include "../capi/pymodule.h"
#include "../capi/pystate.h"
#include "../scrape_common/export/writers.h"

#include <string>
#include <unistd.h>
#include <vector>

namespace {

using nx::Ref;
namespace ex = scrape::exports;

// All that the module keeps between calls (one interpreter only).
struct State {
    ex::Openpyxl openpyxl;
};
State& state() { return nx::module_state<State>(); }

}  // namespace

scrape::exports::Openpyxl& scrape::exports::openpyxl_state() { return state().openpyxl; }

namespace {

enum class TableKind { kCsv, kXlsx };

struct Writer {
    PyObject_HEAD
    TableKind kind;
    bool closed;  // finished, committed or aborted: the table is gone
    bool busy;    // a call runs (another thread's while the lock is released, or re-entered)
    const char* closed_by;
    Py_ssize_t rows;  // taken by write_row
    ex::Table* table;
    std::string* spool_dir;
    std::string* block;
    PyObject* wb;  // xlsx: the workbook and its sheet
    PyObject* ws;
};

void free_table(Writer* w) {
    delete w->table;
    w->table = nullptr;
}

// The check of every call: open, and not in use. 0, or -1 with the error.
int enter(Writer* w, const char* method) {
    if (w->busy) {
        PyErr_Format(PyExc_RuntimeError, "TableWriter.%s() while another call on this writer runs",
                     method);
        return -1;
    }
    if (w->closed) {
        PyErr_Format(PyExc_ValueError, "TableWriter.%s() on a writer that is %s already", method,
                     w->closed_by);
        return -1;
    }
    w->busy = true;
    return 0;
}

// The cell as the file will hold it, checked now: text that the file's
// encoding or the workbook library refuses fails here, and its row with it.
int check_cell(Writer* w, const ex::Cell& cell) {
    if (!cell.present) return 0;
    if (w->kind == TableKind::kXlsx) return ex::check_sheet_cell(w->ws, cell);
    return (cell.flags & ex::kSurrogates) ? ex::check_strict_utf8(cell.text) : 0;
}

// The cells of the row in *w->block, and the names of the columns it brought
// (from `first_new` on).
int check_row(Writer* w, Py_ssize_t first_new) {
    ex::Table& t = *w->table;
    std::vector<ex::Cell> cells;
    t.decode(*w->block, &cells);
    for (const ex::Cell& c : cells)
        if (check_cell(w, c) < 0) return -1;
    if (t.columns() == first_new) return 0;
    std::vector<Ref> held;
    if (t.header(&cells, &held) < 0) return -1;
    for (size_t i = (size_t)first_new; i < cells.size(); i++)
        if (check_cell(w, cells[i]) < 0) return -1;
    return 0;
}

PyObject* write_row(Writer* w, PyObject* row) {
    if (enter(w, "write_row") < 0) return nullptr;
    ex::Table& t = *w->table;
    Py_ssize_t columns = t.columns();
    int rc = t.mapping_block(row, w->block);
    if (rc == 0) rc = check_row(w, columns);
    if (rc == 0) rc = t.add_block(*w->block);
    if (rc == 0) w->rows++;
    if (rc < 0 && t.columns() > columns)
        nx::cleanup_keeping_error([&] { return t.drop_columns_from(columns) == 0; });
    w->busy = false;
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// The whole file into `out`. A CSV table without columns is an empty file.
int write_table(Writer* w, ex::FdWriter& out) {
    ex::Table& t = *w->table;
    if (w->kind == TableKind::kXlsx) return ex::write_xlsx(t, w->wb, w->ws, out);
    return t.columns() ? ex::write_csv(t, out) : 0;
}

// file.write(chunk), again with the rest while a raw file writes less.
int write_to(PyObject* write, const char* data, size_t size) {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data, (Py_ssize_t)size));
    Ref view = bytes ? Ref::steal(PyMemoryView_FromObject(bytes.get())) : Ref();
    Py_ssize_t done = 0, n = (Py_ssize_t)size;
    while (view && done < n) {
        Ref part = done ? Ref::steal(PySequence_GetSlice(view.get(), done, n)) : view;
        Ref written = part ? nx::call(write, {part.get()}) : Ref();
        if (!written) return -1;
        if (!PyLong_Check(written.get())) return 0;  // a writer that returns no count wrote all
        Py_ssize_t k = PyLong_AsSsize_t(written.get());
        if (k < 0 && PyErr_Occurred()) return -1;
        if (k <= 0) {
            PyErr_SetString(PyExc_OSError, "the file took no bytes of the table");
            return -1;
        }
        done += k;
    }
    return view ? 0 : -1;
}

// The file made in an unnamed file, then copied to `file` in chunks: the
// target sees nothing of a table whose writing failed.
int finish_into(Writer* w, PyObject* file) {
    Ref write = nx::attr(file, NX_ID(write));
    if (!write) return -1;
    int fd = ex::unnamed_file(*w->spool_dir);
    if (fd < 0) return -1;
    ex::FdWriter out;
    out.attach(fd);
    int rc = write_table(w, out) < 0 || out.flush() < 0 ? -1 : 0;
    if (rc == 0 && ::lseek(fd, 0, SEEK_SET) < 0) rc = nx::raise_errno(errno);
    std::string chunk(ex::FdWriter::kChunk, '\0');
    while (rc == 0) {
        ssize_t r = nx::io_call([&] { return ::read(fd, &chunk[0], chunk.size()); });
        if (r == 0) break;
        if (r == -2)
            rc = -1;
        else if (r < 0)
            rc = nx::raise_errno(errno);
        else
            rc = write_to(write.get(), chunk.data(), (size_t)r);
    }
    ::close(fd);
    return rc;
}

// The end of a writer: the table goes, whatever the outcome.
PyObject* close_after(Writer* w, const char* by, int rc) {
    free_table(w);
    w->closed = true;
    w->closed_by = by;
    w->busy = false;
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* finish(Writer* w, PyObject* file) {
    if (enter(w, "finish") < 0) return nullptr;
    return close_after(w, "finished", finish_into(w, file));
}

PyObject* commit(Writer* w, PyObject* path) {
    if (enter(w, "commit") < 0) return nullptr;
    ex::OutputFile out;
    int rc = out.create(path) < 0 || write_table(w, out.out()) < 0 || out.commit() < 0 ? -1 : 0;
    return close_after(w, "committed", rc);
}

PyObject* abort_writer(Writer* w, PyObject*) {
    if (w->closed) Py_RETURN_NONE;
    if (enter(w, "abort") < 0) return nullptr;
    return close_after(w, "aborted", 0);
}

PyObject* enter_block(Writer* w, PyObject*) {
    Py_INCREF(w);
    return (PyObject*)w;
}

PyObject* exit_block(Writer* w, PyObject*) {
    Ref done = Ref::steal(abort_writer(w, nullptr));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* get_kind(Writer* w, void*) {
    return PyUnicode_FromString(w->kind == TableKind::kCsv ? "csv" : "xlsx");
}
PyObject* get_rows(Writer* w, void*) { return PyLong_FromSsize_t(w->rows); }
PyObject* get_columns(Writer* w, void*) {
    return w->table ? PyList_GetSlice(w->table->field_order.get(), 0, w->table->columns())
                    : PyList_New(0);
}
PyObject* get_closed(Writer* w, void*) { return PyBool_FromLong(w->closed); }

// The workbook of an "xlsx" writer: openpyxl's, whose sheets the exports'
// native sheet writer writes.
int open_workbook(Writer* w, PyObject* title) {
    Ref openpyxl = Ref::steal(PyImport_ImportModule("openpyxl"));
    Ref workbook = openpyxl ? nx::attr(openpyxl.get(), NX_ID(Workbook)) : Ref();
    if (!workbook) return -1;
    if (ex::workbook_kind(workbook.get()) != ex::kNativeSheet) {
        PyErr_SetString(PyExc_RuntimeError,
                        "TableWriter(\"xlsx\") needs openpyxl with its lxml cell writer "
                        "(lxml installed, and openpyxl's use of it not turned off)");
        return -1;
    }
    Ref wb = nx::call(workbook.get(), {});
    Ref ws = wb ? nx::attr(wb.get(), NX_ID(active)) : Ref();
    if (!ws || (title != Py_None && PyObject_SetAttr(ws.get(), NX_ID(title), title) < 0)) return -1;
    w->wb = wb.release();
    w->ws = ws.release();
    return 0;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"kind", "fields", "title", "spool_dir", nullptr};
    PyObject *kind, *fields = Py_None, *title = Py_None, *spool_dir = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:TableWriter", (char**)keywords, &kind,
                                     &fields, &title, &spool_dir))
        return nullptr;
    TableKind k;
    if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "csv") == 0) {
        k = TableKind::kCsv;
    } else if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "xlsx") == 0) {
        k = TableKind::kXlsx;
    } else {
        PyErr_Format(PyExc_ValueError, "TableWriter kind must be \"csv\" or \"xlsx\", not %R",
                     kind);
        return nullptr;
    }
    if (k == TableKind::kCsv && title != Py_None) {
        PyErr_SetString(PyExc_TypeError, "title is the sheet's: a \"csv\" table has none");
        return nullptr;
    }
    std::string dir;
    if (spool_dir != Py_None && (!ex::native_path(spool_dir, &dir) || dir.empty())) {
        PyErr_Format(PyExc_TypeError, "spool_dir must be a directory path, not %R", spool_dir);
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* w = (Writer*)self.get();
    w->kind = k;
    w->closed_by = "open";
    w->table = new ex::Table(dir);
    w->spool_dir = new std::string(dir);
    w->block = new std::string();
    if (w->table->start_rows(fields == Py_None ? nullptr : fields) < 0) return nullptr;
    if (k == TableKind::kXlsx && open_workbook(w, title) < 0) return nullptr;
    return self.release();
}

void writer_dealloc(Writer* w) {
    free_table(w);
    delete w->spool_dir;
    delete w->block;
    Py_XDECREF(w->wb);
    Py_XDECREF(w->ws);
    Py_TYPE(w)->tp_free((PyObject*)w);
}

constexpr const char* kWriteRowDoc =
    "write_row(row)\n--\n\n"
    "Add one row: a mapping of field names (str) to values. Each cell is\n"
    "str(value) with every run of white space made one space and the ends\n"
    "stripped; a field met for the first time becomes the last column.\n"
    "A row that the file could not hold (text that UTF-8 or the workbook\n"
    "refuses) raises here and is not kept.";
constexpr const char* kFinishDoc =
    "finish(file)\n--\n\n"
    "Write the whole table to `file`, an open binary file (its write()),\n"
    "in chunks, and close the writer. The file is made aside first: when\n"
    "that fails, `file` gets nothing.";
constexpr const char* kCommitDoc =
    "commit(path)\n--\n\n"
    "Write the whole table beside `path`, put it on the disk and move it\n"
    "over `path`, and close the writer. A failure leaves an earlier file\n"
    "of that path as it was.";
constexpr const char* kAbortDoc =
    "abort()\n--\n\n"
    "Drop the table and close the writer (nothing is written); a closed\n"
    "writer stays as it is.";

PyMethodDef writer_methods[] = {
    {"write_row", (PyCFunction)write_row, METH_O, kWriteRowDoc},
    {"finish", (PyCFunction)finish, METH_O, kFinishDoc},
    {"commit", (PyCFunction)commit, METH_O, kCommitDoc},
    {"abort", (PyCFunction)abort_writer, METH_NOARGS, kAbortDoc},
    {"__enter__", (PyCFunction)enter_block, METH_NOARGS, nullptr},
    {"__exit__", (PyCFunction)exit_block, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"kind", (getter)get_kind, nullptr, "\"csv\" or \"xlsx\"", nullptr},
    {"rows", (getter)get_rows, nullptr, "the rows written so far", nullptr},
    {"columns", (getter)get_columns, nullptr, "the column names so far, in order", nullptr},
    {"closed", (getter)get_closed, nullptr, "finished, committed or aborted", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject WriterType = [] {
    PyTypeObject t = nx::static_type("Nexra_publish.tables.TableWriter", sizeof(Writer),
                                     (destructor)writer_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc =
        "TableWriter(kind, *, fields=None, title=None, spool_dir=None)\n--\n\n"
        "A CSV file (kind \"csv\") or a workbook of one sheet (\"xlsx\") written\n"
        "row by row in bounded memory: write_row() per row, then finish(file)\n"
        "or commit(path), or abort(). Usable as a context manager, which\n"
        "aborts a writer that is still open at the end of the block.\n"
        "\n"
        "fields    -- the column names, in order (other fields of the rows are\n"
        "             left out); by default every field name any row has, in\n"
        "             the order first met\n"
        "title     -- the sheet's title (\"xlsx\" only; openpyxl's default)\n"
        "spool_dir -- where rows go once they outgrow memory (default: $TMPDIR\n"
        "             or /tmp), in a file without a name\n"
        "\n"
        "The files are those of the exports: UTF-8 CSV as csv.DictWriter\n"
        "writes it (a header line, CR LF), or openpyxl's workbook with a header\n"
        "row and every cell a text cell. A CSV table without columns is an\n"
        "empty file.";
    t.tp_methods = writer_methods;
    t.tp_getset = writer_getset;
    t.tp_new = writer_new;
    return t;
}();

int run_body(PyObject* g) {
    if (PyType_Ready(&WriterType) < 0) return -1;
    return PyDict_SetItemString(g, "TableWriter", (PyObject*)&WriterType);
}

nx::RunOnceModule module_def("tables",
                             "Tables written row by row: TableWriter, with the cell rule and the "
                             "CSV and\n" "workbook writers of Scrape_common's exports.",
                             run_body);

}  // namespace

NX_MODINIT_FUNC PyInit_tables(void) { return module_def.init(); }

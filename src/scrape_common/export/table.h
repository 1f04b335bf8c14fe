// The table an export has read: its columns, and its rows as spooled cell
// texts. The read (export.cpp) fills it in one pass over the cursor, or the
// row writer (src/tables) one mapping at a time (add_mapping); the writers
// (csv.cpp, xlsx.cpp, or the generic ones in export.cpp) replay the rows
// once the header is known.
#pragma once

#include "files.h"

#include <string>
#include <string_view>
#include <vector>

namespace scrape {
namespace exports {

// A spooled row is a run of cells: varint tag, then either varint length and
// the text's UTF-8 bytes, or (kObject) a varint index into Table::objects.
// The tag is id << 2 | flags, id being the field's number in Table::names.
enum CellFlags : unsigned {
    kSurrogates = 1,  // the text holds lone surrogates, written as "surrogatepass" does
    kObject = 2,      // not an exact str: kept as an object
};

struct Cell {
    std::string_view text;  // UTF-8 (surrogatepass when kSurrogates)
    unsigned flags = 0;
    PyObject* object = nullptr;  // borrowed from Table::objects when kObject
    bool present = false;
};

struct Table {
    explicit Table(std::string spool_dir) : spool(std::move(spool_dir)) {}

    Ref names;                          // dict: lower-case field name -> id (int)
    Ref field_order;                    // list of the column names
    std::vector<Py_ssize_t> column_of;  // id -> column index, -1 when no column
    Ref objects;                        // list of cell values that are not exact str
    Spool spool;
    Py_ssize_t rows = 0;  // rows spooled
    Ref cell_failure;     // the cell rule's first failure: raised at row `rows`
    bool fixed = false;   // rows from mappings: the columns were given up front

    Py_ssize_t columns() const { return PyList_GET_SIZE(field_order.get()); }
    bool all_text() const { return !objects || PyList_GET_SIZE(objects.get()) == 0; }
    // Is every column name an exact str (what the native writers encode)?
    bool header_all_text() const {
        for (Py_ssize_t i = 0; i < columns(); i++)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(field_order.get(), i))) return false;
        return true;
    }

    // The next row, by column (later cells of one column win). 1, 0 at the
    // end, -1 with an exception set.
    int next_row(std::string* block, std::vector<Cell>* cells);
    // The cells of a row block, by column, as next_row gives them.
    void decode(const std::string& block, std::vector<Cell>* cells) const;

    // Rows from mappings: the columns are the field names as given (str), in
    // the order first met, or the names of `fixed` (a list of str, or
    // nullptr) alone, in its order, other fields left out. Call once, first.
    int start_rows(PyObject* fixed);
    // The row block of `row` (a mapping: a dict, or anything with items())
    // into *block, not yet spooled: each cell is the cell rule on str(value),
    // run natively; a name met for the first time becomes a column. 0, or -1
    // with an exception set (TypeError for a row that is no mapping or a
    // field name that is no str).
    int mapping_block(PyObject* row, std::string* block);
    // Drop the columns from `count` on (those a refused row brought).
    int drop_columns_from(Py_ssize_t count);
    // Spool a row block.
    int add_block(const std::string& block) {
        if (spool.add_row(block) < 0) return -1;
        rows++;
        return 0;
    }

    // The header row: the column names as cells (UTF-8, lone surrogates as
    // "surrogatepass" writes them), their bytes held in *held.
    int header(std::vector<Cell>* cells, std::vector<Ref>* held) const;

    // Every spooled row, in order, to `row(cells)` (0, or -1 to stop with an
    // exception set); then the cell rule's held-back failure, raised where
    // the interpreted export meets it: after the rows before it.
    template <class Row>
    int replay(Row row) {
        if (spool.rewind() < 0) return -1;
        std::string block;
        std::vector<Cell> cells;
        int rc;
        while ((rc = next_row(&block, &cells)) > 0)
            if (row(cells) < 0) return -1;
        if (rc < 0) return -1;
        if (!cell_failure) return 0;
        nx::raise_again(std::move(cell_failure));
        return -1;
    }
};

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
        Ref key, value;
        if (nx::unpack(entry.get(), &key, &value) < 0 || visit(key.get(), value.get()) < 0)
            return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Take a pending Exception into *kept, unless one is kept already (the
// first failure is the one raised later); anything else (KeyboardInterrupt,
// SystemExit) is left pending and false returned.
bool keep_failure(Ref* kept);

// Spool one cell of field `id` into a row block: the exact str `text` as
// UTF-8 (with the cell rule's white-space collapse when `collapse`), or any
// other value kept as an object.
int append_text_cell(std::string* block, Py_ssize_t id, PyObject* text, bool collapse);
int append_object_cell(Table& table, std::string* block, Py_ssize_t id, PyObject* value);

// A cell text back as a str (the kSurrogates ones with their surrogates).
Ref cell_str(const Cell& cell);
// 0 when `text` (written as "surrogatepass" does) holds no lone surrogate;
// else -1 with the error that strict UTF-8 encoding of the text raises, as a
// text file in UTF-8 raises it for a line written to it.
int check_strict_utf8(std::string_view text);

}  // namespace exports
}  // namespace scrape

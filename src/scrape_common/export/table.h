// The table an export has read: its columns, and its rows as spooled cell
// texts. The read (export.cpp) fills it in one pass over the cursor; the
// writers (csv.cpp, xlsx.cpp, or the generic ones in
// export.cpp) replay the rows once the header is known.
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

    Py_ssize_t columns() const { return PyList_GET_SIZE(field_order.get()); }
    bool all_text() const { return !objects || PyList_GET_SIZE(objects.get()) == 0; }

    // The next row, by column (later cells of one column win). 1, 0 at the
    // end, -1 with an exception set.
    int next_row(std::string* block, std::vector<Cell>* cells);

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

// The native writers of the exports and of the row writer (src/tables). Each
// writes the header and the spooled rows to `out` (a new file that is moved
// into place only after a full success) and returns 0, or -1 with an
// exception set.
#pragma once

#include "../../capi/standin.h"
#include "table.h"

namespace scrape {
namespace exports {

// The CSV file as csv.DictWriter with the default dialect writes it (UTF-8,
// quoting only where needed, CR LF).
int write_csv(Table& table, FdWriter& out);

// openpyxl as first seen: its Workbook, the cell writer its sheets use (the
// lxml one is what the native sheet writer stands in for), and the cell
// class whose check is the library's. Tried once: without openpyxl, every
// workbook is another.
struct Openpyxl {
    bool tried = false;
    bool usable = false;
    nx::StandardModule top;           // openpyxl: Workbook
    nx::StandardModule cell_writers;  // openpyxl.cell._writer: lxml_write_cell
    nx::StandardModule sheet_writer;  // openpyxl.worksheet._writer: its write_cell is in use
    nx::StandardModule cells;         // openpyxl.cell: WriteOnlyCell
    PyObject* workbook() const { return top.attr(0); }
    PyObject* lxml_write_cell() const { return cell_writers.attr(0); }
    PyObject* write_only_cell() const { return cells.attr(0); }
};

// The Openpyxl of the module that links these writers, in its state
// (defined by each such module).
Openpyxl& openpyxl_state();

// What the Workbook global is: another class; openpyxl's; or openpyxl's with
// its lxml cell writer in use, whose sheets the native writer can write.
enum WorkbookKind { kOtherWorkbook, kOpenpyxl, kNativeSheet };
WorkbookKind workbook_kind(PyObject* workbook_class);

// The workbook `wb` (openpyxl's, its one sheet `ws` titled already) with the
// header and the rows, every cell a text cell, written as openpyxl's own
// package with the sheet's XML made here.
int write_xlsx(Table& table, PyObject* wb, PyObject* ws, FdWriter& out);

// The checks that write_xlsx makes of a cell's text, made now: the library's
// own cell check where it could act (its error raised), and the texts lxml
// refuses to write. 0, or -1 with the error that writing would raise.
int check_sheet_cell(PyObject* ws, const Cell& cell);

}  // namespace exports
}  // namespace scrape

// The native writers of the exports, called by export.cpp once the read is
// complete. Each writes the header and the spooled rows to `out` (a new file
// that is moved into place only after a full success) and returns 0, or -1
// with an exception set.
#pragma once

#include "table.h"

namespace scrape {
namespace exports {

// The CSV file as csv.DictWriter with the default dialect writes it (UTF-8,
// quoting only where needed, CR LF).
int write_csv(Table& table, OutputFile& out);

// What the Workbook global is: another class; openpyxl's; or openpyxl's with
// its lxml cell writer in use, whose sheets the native writer can write.
enum WorkbookKind { kOtherWorkbook, kOpenpyxl, kNativeSheet };
WorkbookKind workbook_kind(PyObject* workbook_class);

// The workbook `wb` (openpyxl's, its one sheet `ws` titled already) with the
// header and the rows, every cell a text cell, written as openpyxl's own
// package with the sheet's XML made here.
int write_xlsx(Table& table, PyObject* wb, PyObject* ws, OutputFile& out);

}  // namespace exports
}  // namespace scrape

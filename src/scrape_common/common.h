// Helpers that several of Scrape_common's subsystems share: its messages,
// its directories and its time stamps.
#pragma once

#include "../capi/pyref.h"

#include <string_view>

namespace scrape {

// print({"status": "error", "message": message}) with entries in that order:
// how the public functions report a refused call.
int print_error_dict(PyObject* globals, std::string_view message);

// `if not os.path.exists(path): os.makedirs(path, exist_ok=True)` through the
// module global `os`. A directory that appears between the test and the
// creation is not an error.
int ensure_directory(PyObject* globals, PyObject* path);

// Local time as "%Y-%m-%d %H:%M:%S" through `datetime.now().strftime(...)`
// with the module global `datetime` (the class).
nx::Ref now_text(PyObject* globals);

}  // namespace scrape

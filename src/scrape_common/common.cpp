// Helpers shared by Scrape_common's subsystems: see common.h.
#include "common.h"

namespace scrape {

using nx::Ref;

int print_error_dict(PyObject* globals, std::string_view message) {
    Ref m = nx::str(message);
    Ref d = m ? nx::dict({{NX_ID(status), NX_ID(error)}, {NX_ID(message), m.get()}}) : Ref();
    if (!d) return -1;
    return nx::print(globals, {d.get()});
}

int ensure_directory(PyObject* globals, PyObject* path) {
    Ref os = nx::global(globals, NX_ID(os));
    Ref os_path = os ? nx::attr(os.get(), NX_ID(path)) : Ref();
    Ref exists = os_path ? nx::call_method(os_path.get(), NX_ID(exists), {path}) : Ref();
    if (!exists) return -1;
    int present = PyObject_IsTrue(exists.get());
    if (present != 0) return present < 0 ? -1 : 0;
    os = nx::global(globals, NX_ID(os));  // looked up again, as the interpreted test does
    Ref makedirs = os ? nx::attr(os.get(), NX_ID(makedirs)) : Ref();
    if (!makedirs) return -1;
    return nx::call_kw(makedirs.get(), {path}, {{NX_ID(exist_ok), Py_True}}) ? 0 : -1;
}

Ref now_text(PyObject* globals) {
    Ref dt = nx::global(globals, NX_ID(datetime));
    if (!dt) return {};
    Ref now = nx::call_method(dt.get(), NX_ID(now));
    if (!now) return {};
    return nx::call_method(now.get(), NX_ID(strftime), {NX_STR("%Y-%m-%d %H:%M:%S")});
}

}  // namespace scrape

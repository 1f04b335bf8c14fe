// Nexra_publish.configuration: a job's settings, collected once at import.
//
// The settings are the module's own globals: every public attribute of the
// job's "config" module, after the JSON file named by NEXRA_CONFIG (default
// "config.json") has been written onto it.
#include "../capi/pyfunc.h"
#include "../capi/pymodule.h"

namespace {

using nx::Ref;

#define GET_CONFIG_PARAMS(P) P(key, nx::Default::required()) P(default_, nx::Default::none())
NX_ARGUMENTS(GetConfigArgs, GET_CONFIG_PARAMS);

// get_config(key, default=None): dict.get on the module namespace.
PyObject* get_config(nx::Function* f, const GetConfigArgs& a) {
    PyObject* v = PyDict_GetItemWithError(f->globals, a.key);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = a.default_;
    }
    Py_INCREF(v);
    return v;
}

constexpr nx::FuncSpec get_config_spec = nx::spec_of<GetConfigArgs, get_config>(
    "get_config",
    R"doc(Return the setting named key, or default when there is none.

key      -- the setting's name, e.g. "connection_string"
default  -- what to return when no setting of that name exists

The settings are this module's globals: every attribute of the job's
config module whose name does not begin with "__", after the entries of
the JSON file named by NEXRA_CONFIG (default "config.json") were written
onto it, so a JSON entry wins over config.py. The lookup is a plain dict
lookup on the module namespace: it also sees the module's own names
(CONFIG_FILE, config, get_config), a missing name never raises, and an
unhashable key raises TypeError.)doc");

// with open(CONFIG_FILE, "r") as f: json_config = json.load(f)
int read_json_file(PyObject* g, PyObject* config_file) {
    Ref open = nx::global(g, NX_ID(open));
    Ref file = open ? nx::call(open.get(), {config_file, NX_STR("r")}) : Ref();
    if (!file) return -1;
    return nx::with_block(file.get(), [g](PyObject* f) -> int {
        if (nx::set_global(g, NX_ID(f), f) < 0) return -1;
        Ref json = nx::global(g, NX_ID(json));
        Ref load = json ? nx::attr(json.get(), NX_ID(load)) : Ref();
        Ref doc = load ? nx::call(load.get(), {f}) : Ref();
        if (!doc) return -1;
        return nx::set_global(g, NX_ID(json_config), doc.get());
    });
}

// for key, value in json_config.items(): setattr(config, key, value)
int overlay_json(PyObject* g) {
    Ref doc = nx::global(g, NX_ID(json_config));
    Ref config = doc ? nx::global(g, NX_ID(config)) : Ref();
    if (!config) return -1;
    auto apply = [&](PyObject* key, PyObject* value) -> int {
        if (nx::set_global(g, NX_ID(key), key) < 0) return -1;
        if (nx::set_global(g, NX_ID(value), value) < 0) return -1;
        return PyObject_SetAttr(config.get(), key, value);
    };
    if (PyDict_CheckExact(doc.get())) {
        // The document's own dict: json.load builds it, nobody else holds it.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(doc.get(), &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (apply(key.get(), value.get()) < 0) return -1;
        }
        return 0;
    }
    Ref items = nx::call_method(doc.get(), NX_ID(items));
    if (!items) return -1;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (nx::unpack(pair.get(), &key, &value) < 0) return -1;
        if (apply(key.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The JSON file written onto config when it exists; a failure to read or
// apply it prints one warning line and loading goes on.
int load_json_file(PyObject* g) {
    Ref config_file = nx::global(g, NX_ID(CONFIG_FILE));
    if (!config_file) return -1;
    Ref os = nx::global(g, NX_ID(os));
    if (!os) return -1;
    Ref path = nx::attr(os.get(), NX_ID(path));
    if (!path) return -1;
    Ref exists = nx::call_method(path.get(), NX_ID(exists), {config_file.get()});
    if (!exists) return -1;
    int yes = PyObject_IsTrue(exists.get());
    if (yes <= 0) return yes;

    if (read_json_file(g, config_file.get()) == 0 && overlay_json(g) == 0) return 0;
    if (!nx::pending_is_exception()) return -1;
    Ref exc = nx::fetch_exception();
    Ref cf = nx::global(g, NX_ID(CONFIG_FILE));
    if (!cf) return -1;
    Ref cf_text = Ref::steal(PyObject_Str(cf.get()));
    Ref exc_text = cf_text ? Ref::steal(PyObject_Str(exc.get())) : Ref();
    if (!exc_text) return -1;
    Ref line = nx::concat(
        {NX_STR("\u26a0\ufe0f Could not load "), cf_text.get(), NX_STR(": "), exc_text.get()});
    if (!line) return -1;
    return nx::print(g, {line.get()});
}

// Copy every attribute of config whose name does not begin with "__".
int copy_settings(PyObject* g) {
    Ref config = nx::global(g, NX_ID(config));
    if (!config) return -1;
    Ref names = Ref::steal(PyObject_Dir(config.get()));
    if (!names) return -1;
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return -1;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        if (nx::set_global(g, NX_ID(key), name.get()) < 0) return -1;
        Ref dunder = nx::call_method(name.get(), NX_ID(startswith), {NX_STR("__")});
        if (!dunder) return -1;
        int skip = PyObject_IsTrue(dunder.get());
        if (skip < 0) return -1;
        if (skip) continue;
        Ref cfg = nx::global(g, NX_ID(config));
        Ref value = cfg ? nx::attr(cfg.get(), name.get()) : Ref();
        if (!value || nx::set_global(g, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int run_body(PyObject* g) {
    for (const char* name : {"os", "json", "importlib"}) {
        Ref m = nx::import(g, name);
        if (!m || PyDict_SetItemString(g, name, m.get()) < 0) return -1;
    }

    Ref importlib = nx::global(g, NX_ID(importlib));
    Ref config = importlib
                     ? nx::call_method(importlib.get(), NX_ID(import_module), {NX_STR("config")})
                     : Ref();
    if (!config || nx::set_global(g, NX_ID(config), config.get()) < 0) return -1;

    Ref os = nx::global(g, NX_ID(os));
    Ref config_file = os ? nx::call_method(os.get(), NX_ID(getenv),
                                           {NX_STR("NEXRA_CONFIG"), NX_STR("config.json")})
                         : Ref();
    if (!config_file || nx::set_global(g, NX_ID(CONFIG_FILE), config_file.get()) < 0) return -1;

    if (load_json_file(g) < 0) return -1;
    if (copy_settings(g) < 0) return -1;
    return nx::define_function(g, get_config_spec);
}

nx::RunOnceModule module_def(
    "configuration",
    "The settings of a scraping job: the job's config module with its JSON overlay.", run_body);

}  // namespace

NX_MODINIT_FUNC PyInit_configuration(void) { return module_def.init(); }

#include "pyfunc.h"

#include <structmember.h>

#include <cstring>

// The vectorcall type flag lost its leading underscore in 3.9.
#if PY_VERSION_HEX >= 0x03090000
#define NX_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#else
#define NX_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace nx {
namespace {

// The name the interpreter puts in call errors: __qualname__ since 3.10.
PyObject* error_name(Function* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

void too_many_positional(Function* f, Py_ssize_t given, Py_ssize_t defcount,
                         Py_ssize_t kwonly_given) {
    Py_ssize_t n = f->spec->nparams - f->spec->nkwonly;
    Ref sig;
    bool plural;
    if (defcount) {
        Py_ssize_t atleast = n - defcount;
        if (atleast < 0) atleast = 0;
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", atleast, n));
    } else {
        plural = n != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", n));
    }
    Ref kwonly_sig = kwonly_given
                         ? Ref::steal(PyUnicode_FromFormat(
                               " positional argument%s (and %zd keyword-only argument%s)",
                               given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                         : str("");
    if (!sig || !kwonly_sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 error_name(f), sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

// The parameters [from, to) missing from `slots`: "positional" or
// "keyword-only" ones.
void missing_arguments(Function* f, PyObject* const* slots, Py_ssize_t from, Py_ssize_t to,
                       const char* kind) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t j = from; j < to; j++) {
        if (slots[j]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->params, j)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U",
                                                   PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        Ref head_list = Ref::steal(PyList_GetSlice(names.get(), 0, len - 2));
        if (!tail || !head_list) return;
        Ref head = Ref::steal(PyUnicode_Join(NX_STR(", "), head_list.get()));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", error_name(f), len,
                 kind, len == 1 ? "" : "s", text.get());
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    Function* f = (Function*)callable;
    const Py_ssize_t n = f->spec->nparams;
    const Py_ssize_t npositional = n - f->spec->nkwonly;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams] = {};

    const Py_ssize_t npos = nargs < npositional ? nargs : npositional;
    for (Py_ssize_t i = 0; i < npos; i++) slots[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", error_name(f));
                return nullptr;
            }
            Py_ssize_t j = 0;
            for (; j < n; j++) {
                PyObject* p = PyTuple_GET_ITEM(f->params, j);
                if (p == key || PyUnicode_Compare(p, key) == 0) break;
            }
            if (j == n) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             error_name(f), key);
                return nullptr;
            }
            if (slots[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             error_name(f), key);
                return nullptr;
            }
            slots[j] = args[nargs + k];
        }
    }

    // Hold the defaults for the length of the call: the body may rebind __defaults__.
    Ref defaults = Ref::borrow(f->defaults);
    Ref kwdefaults = Ref::borrow(f->kwdefaults);
    const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    if (nargs > npositional) {
        Py_ssize_t kwonly_given = 0;
        for (Py_ssize_t j = npositional; j < n; j++) kwonly_given += slots[j] != nullptr;
        too_many_positional(f, nargs, defcount, kwonly_given);
        return nullptr;
    }
    const Py_ssize_t required = defcount < npositional ? npositional - defcount : 0;
    for (Py_ssize_t j = 0; j < required; j++) {
        if (!slots[j]) {
            missing_arguments(f, slots, 0, required, "positional");
            return nullptr;
        }
    }
    for (Py_ssize_t j = required; j < npositional; j++) {
        if (!slots[j]) slots[j] = PyTuple_GET_ITEM(defaults.get(), j - (npositional - defcount));
    }
    bool missing = false;
    for (Py_ssize_t j = npositional; j < n; j++) {
        if (slots[j]) continue;
        PyObject* d = kwdefaults ? PyDict_GetItemWithError(kwdefaults.get(),
                                                           PyTuple_GET_ITEM(f->params, j))
                                 : nullptr;
        if (!d && PyErr_Occurred()) return nullptr;
        slots[j] = d;
        missing |= !d;
    }
    if (missing) {
        missing_arguments(f, slots, npositional, n, "keyword-only");
        return nullptr;
    }
    return f->spec->impl(f, slots);
}

int func_traverse(Function* f, visitproc visit, void* arg) {
    Py_VISIT(f->globals);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    return 0;
}

int func_clear(Function* f) {
    Py_CLEAR(f->globals);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    return 0;
}

void func_dealloc(Function* f) {
    PyObject_GC_UnTrack(f);
    func_clear(f);
    PyObject_GC_Del(f);
}

PyObject* func_repr(Function* f) {
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, f);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* get_defaults(Function* f, void*) {
    PyObject* d = f->defaults ? f->defaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_defaults(Function* f, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(Function* f, void*) {
    PyObject* d = f->kwdefaults ? f->kwdefaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_str_attr(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(Function* f, void*) {
    Py_INCREF(f->name);
    return f->name;
}
int set_name(Function* f, PyObject* v, void*) { return set_str_attr(&f->name, v, "__name__"); }
PyObject* get_qualname(Function* f, void*) {
    Py_INCREF(f->qualname);
    return f->qualname;
}
int set_qualname(Function* f, PyObject* v, void*) {
    return set_str_attr(&f->qualname, v, "__qualname__");
}

PyObject* get_globals(Function* f, void*) {
    Py_INCREF(f->globals);
    return f->globals;
}

// inspect.signature() looks for __signature__ on callables it cannot introspect.
PyObject* get_signature(Function* f, void*) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = attr(inspect.get(), NX_ID(Parameter));
    if (!parameter) return nullptr;
    Ref kind = attr(parameter.get(), NX_ID(POSITIONAL_OR_KEYWORD));
    Ref kw_kind = kind ? attr(parameter.get(), NX_ID(KEYWORD_ONLY)) : Ref();
    if (!kw_kind) return nullptr;
    const Py_ssize_t n = f->spec->nparams;
    const Py_ssize_t npositional = n - f->spec->nkwonly;
    Ref defaults = Ref::borrow(f->defaults);
    Ref kwdefaults = Ref::borrow(f->kwdefaults);
    const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = defcount < npositional ? npositional - defcount : 0;
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t j = 0; j < n; j++) {
        PyObject* name = PyTuple_GET_ITEM(f->params, j);
        PyObject* k = j < npositional ? kind.get() : kw_kind.get();
        PyObject* d = nullptr;
        if (j >= npositional) {
            d = kwdefaults ? PyDict_GetItemWithError(kwdefaults.get(), name) : nullptr;
            if (!d && PyErr_Occurred()) return nullptr;
        } else if (j >= first_default) {
            d = PyTuple_GET_ITEM(defaults.get(), j - (npositional - defcount));
        }
        Ref p = d ? call_kw(parameter.get(), {name, k}, {{NX_ID(default), d}})
                  : call(parameter.get(), {name, k});
        if (!p) return nullptr;
        PyList_SET_ITEM(list.get(), j, p.release());
    }
    Ref signature = attr(inspect.get(), NX_ID(Signature));
    if (!signature) return nullptr;
    return call(signature.get(), {list.get()}).release();
}

PyGetSetDef func_getset[] = {
    {"__defaults__", (getter)get_defaults, (setter)set_defaults, nullptr, nullptr},
    {"__kwdefaults__", (getter)get_kwdefaults, nullptr, nullptr, nullptr},
    {"__name__", (getter)get_name, (setter)set_name, nullptr, nullptr},
    {"__qualname__", (getter)get_qualname, (setter)set_qualname, nullptr, nullptr},
    {"__globals__", (getter)get_globals, nullptr, nullptr, nullptr},
    {"__signature__", (getter)get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t = static_type("Nexra_publish.function", sizeof(Function),
                                 (destructor)func_dealloc);
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = (reprfunc)func_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | NX_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = (traverseproc)func_traverse;
    t.tp_clear = (inquiry)func_clear;
    t.tp_members = func_members;
    t.tp_getset = func_getset;
    t.tp_descr_get = func_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

// The function with `count` defaults for its trailing positional parameters
// and those of its keyword-only ones, in order (all borrowed).
Ref make_with_defaults(const FuncSpec& spec, PyObject* globals, PyObject* const* defaults,
                       size_t count, PyObject* const* kw_values) {
    if (!(FunctionType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FunctionType) < 0) return {};
    Ref params = Ref::steal(PyTuple_New(spec.nparams));
    if (!params) return {};
    for (int j = 0; j < spec.nparams; j++) {
        // A trailing "_" is the C++ spelling of a name that is a keyword there.
        const char* name = spec.params[j];
        const size_t len = std::strlen(name);
        PyObject* s = PyUnicode_FromStringAndSize(
            name, (Py_ssize_t)(len - (len && name[len - 1] == '_')));
        if (!s) return {};
        PyUnicode_InternInPlace(&s);
        PyTuple_SET_ITEM(params.get(), j, s);
    }
    Ref defs;
    if (count) {
        defs = Ref::steal(PyTuple_New((Py_ssize_t)count));
        if (!defs) return {};
        for (size_t i = 0; i < count; i++) {
            Py_INCREF(defaults[i]);
            PyTuple_SET_ITEM(defs.get(), (Py_ssize_t)i, defaults[i]);
        }
    }
    Ref kwdefaults = spec.nkwonly ? Ref::steal(PyDict_New()) : Ref();
    if (spec.nkwonly && !kwdefaults) return {};
    for (int j = spec.nparams - spec.nkwonly; j < spec.nparams; j++)
        if (PyDict_SetItem(kwdefaults.get(), PyTuple_GET_ITEM(params.get(), j),
                           kw_values[j - (spec.nparams - spec.nkwonly)]) < 0)
            return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) return {};
    Ref doc = spec.doc ? str(spec.doc) : none();
    if (!doc) return {};
    Ref module = global(globals, NX_ID(__name__));
    if (!module) return {};

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return {};
    f->vectorcall = func_vectorcall;
    f->spec = &spec;
    f->globals = Ref::borrow(globals).release();
    f->params = params.release();
    f->name = Ref::borrow(name.get()).release();
    f->qualname = name.release();
    f->module = module.release();
    f->doc = doc.release();
    f->defaults = defs.release();
    f->kwdefaults = kwdefaults.release();
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal((PyObject*)f);
}

// The object of a declared default (a new reference).
Ref default_value(PyObject* globals, const Default& d) {
    switch (d.kind) {
        case Default::kInteger: return integer(d.integer);
        case Default::kReal: return Ref::steal(PyFloat_FromDouble(d.real));
        case Default::kText: return Ref::steal(PyUnicode_InternFromString(d.text));
        case Default::kGlobal: return global(globals, d.text);
        case Default::kNone:
        case Default::kRequired: break;
    }
    return none();
}

}  // namespace

Ref make_function(const FuncSpec& spec, PyObject* globals) {
    const int npositional = spec.nparams - spec.nkwonly;
    int first = npositional;
    while (first > 0 && spec.defaults[first - 1].kind != Default::kRequired) --first;
    Ref values[kMaxParams];
    PyObject* defaults[kMaxParams];
    for (int i = first; i < npositional; i++) {
        if (!(values[i] = default_value(globals, spec.defaults[i]))) return {};
        defaults[i - first] = values[i].get();
    }
    PyObject* kw_values[kMaxParams];
    for (int i = npositional; i < spec.nparams; i++) {
        if (!(values[i] = default_value(globals, spec.defaults[i]))) return {};
        kw_values[i - npositional] = values[i].get();
    }
    return make_with_defaults(spec, globals, defaults, (size_t)(npositional - first), kw_values);
}

int define_function(PyObject* globals, const FuncSpec& spec) {
    Ref f = make_function(spec, globals);
    if (!f) return -1;
    return PyDict_SetItemString(globals, spec.name, f.get());
}

}  // namespace nx

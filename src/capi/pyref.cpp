#include "pyref.h"

#include <vector>

namespace nx {
namespace {

// PyObject_Vectorcall, public from 3.9 on.
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

}  // namespace

Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; the frame's or the interpreter's
    if (builtins) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref t = Ref::steal(PyTuple_New((Py_ssize_t)parts.size()));
    if (!t) return {};
    Py_ssize_t i = 0;
    for (PyObject* p : parts) {
        Py_INCREF(p);
        PyTuple_SET_ITEM(t.get(), i++, p);
    }
    return Ref::steal(PyUnicode_Join(NX_STR(""), t.get()));
}

Ref dict(std::initializer_list<Entry> entries) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (const Entry& e : entries)
        if (!e.second || PyDict_SetItem(d.get(), e.first, e.second) < 0) return {};
    return d;
}

Ref list(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(0));
    if (!l) return l;
    for (PyObject* i : items)
        if (!i || PyList_Append(l.get(), i) < 0) return {};
    return l;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    // One spare slot in front lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET.
    PyObject* stack[8];
    std::vector<PyObject*> big;
    PyObject** buf = stack;
    if (args.size() + 1 > 8) {
        big.resize(args.size() + 1);
        buf = big.data();
    }
    size_t i = 1;
    for (PyObject* a : args) buf[i++] = a;
    return Ref::steal(
        vectorcall(callable, buf + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<KwArg> kwargs) {
    std::vector<PyObject*> buf(1 + args.size() + kwargs.size());
    size_t i = 1;
    for (PyObject* a : args) buf[i++] = a;
    Ref names = Ref::steal(PyTuple_New((Py_ssize_t)kwargs.size()));
    if (!names) return {};
    Py_ssize_t k = 0;
    for (const KwArg& kw : kwargs) {
        Py_INCREF(kw.first);
        PyTuple_SET_ITEM(names.get(), k++, kw.first);
        buf[i++] = kw.second;
    }
    return Ref::steal(vectorcall(callable, buf.data() + 1,
                                 args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref m = attr(obj, name);
    if (!m) return {};
    return call(m.get(), args);
}

int print(PyObject* globals, std::initializer_list<PyObject*> args) {
    Ref p = global(globals, NX_ID(print));
    if (!p) return -1;
    Ref r = call(p.get(), args);
    return r ? 0 : -1;
}

int print_text(PyObject* globals, std::string_view utf8) {
    Ref s = str(utf8);
    if (!s) return -1;
    return print(globals, {s.get()});
}

int print_value(PyObject* globals, PyObject* prefix, PyObject* value, PyObject* suffix,
                PyObject* extra) {
    Ref p = global(globals, NX_ID(print));
    if (!p) return -1;
    Ref text = format_empty(value);
    if (!text) return -1;
    Ref line = suffix ? concat({prefix, text.get(), suffix}) : concat({prefix, text.get()});
    if (!line) return -1;
    Ref r = extra ? call(p.get(), {line.get(), extra}) : call(p.get(), {line.get()});
    return r ? 0 : -1;
}

int unpack(PyObject* pair, Ref* first, Ref* second) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        *first = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        *second = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(pair)->tp_iter == nullptr &&
            !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref* slots[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the interpreter names the length of an exact list, tuple
        // or dict, as it is when the extra value is met.
        if (PyList_CheckExact(pair) || PyTuple_CheckExact(pair) || PyDict_CheckExact(pair)) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)",
                         PyDict_CheckExact(pair) ? PyDict_Size(pair) : Py_SIZE(pair));
            return -1;
        }
#endif
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

Ref import(PyObject* globals, const char* name, std::initializer_list<const char*> fromlist,
           int level) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return {};
    Ref fl;
    if (fromlist.size()) {
        fl = Ref::steal(PyTuple_New((Py_ssize_t)fromlist.size()));
        if (!fl) return {};
        Py_ssize_t i = 0;
        for (const char* f : fromlist) {
            PyObject* s = PyUnicode_FromString(f);
            if (!s) return {};
            PyTuple_SET_ITEM(fl.get(), i++, s);
        }
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, fl.get(), level));
}

Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

}  // namespace nx

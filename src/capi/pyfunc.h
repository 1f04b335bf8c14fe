// Module-level functions that behave like interpreted ones: positional-or-keyword
// parameters with defaults, the interpreter's TypeError wording for wrong calls,
// __name__/__qualname__/__module__/__doc__/__defaults__/__kwdefaults__/__globals__,
// inspect.signature() support, and vectorcall.
#pragma once

#include "pyref.h"

namespace nx {

struct Function;

// The body of a function. `args` holds exactly `nparams` borrowed references,
// defaults already filled in. Returns a new reference, or nullptr with an
// exception set.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

constexpr int kMaxParams = 16;

struct FuncSpec {
    const char* name;
    const char* doc;
    int nparams;
    const char* params[kMaxParams];
    Impl impl;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* spec;
    PyObject* globals;   // the defining module's dict
    PyObject* params;    // tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or nullptr for None
    PyObject* dict;
};

// Create a function bound to `globals`, with `defaults` for the trailing
// parameters (borrowed references, copied into a tuple; empty means none).
Ref make_function(const FuncSpec& spec, PyObject* globals,
                  std::initializer_list<PyObject*> defaults = {});

// The same with the defaults as an array of `count` borrowed references.
Ref make_function(const FuncSpec& spec, PyObject* globals, PyObject* const* defaults,
                  size_t count);

// make_function, then bind it as the module global of its name.
int define_function(PyObject* globals, const FuncSpec& spec,
                    std::initializer_list<PyObject*> defaults = {});
int define_function(PyObject* globals, const FuncSpec& spec, PyObject* const* defaults,
                    size_t count);

// The module global `name`, looked up when the function runs.
inline Ref global(Function* f, PyObject* name) { return global(f->globals, name); }

}  // namespace nx

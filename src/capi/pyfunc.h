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
    PyObject* globals;  // the defining module's dict
    PyObject* params;   // tuple of interned parameter names
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
Ref make_function(const FuncSpec& spec, PyObject* globals, PyObject* const* defaults, size_t count);

// make_function, then bind it as the module global of its name.
int define_function(PyObject* globals, const FuncSpec& spec,
                    std::initializer_list<PyObject*> defaults = {});
int define_function(PyObject* globals, const FuncSpec& spec, PyObject* const* defaults,
                    size_t count);

// Parameters declared once, in the manner of the interpreter's Argument Clinic.
// A list macro gives each parameter, in order, with a tag for its default:
//
//     #define FETCH_PARAMS(P) P(method, Default::kGet) P(url, Default::kNone)
//     NX_ARGUMENTS(FetchArgs, Default, FETCH_PARAMS);
//
// declares `struct FetchArgs` with one borrowed `PyObject*` member a parameter,
// FetchArgs::read(args) to take a call's arguments by name, and the names
// (kNames), default tags (kDefaults) and count (kCount) in parameter order;
// spec_of<FetchArgs>(...) makes the FuncSpec and define_function<FetchArgs>
// binds the function with each tag turned into its default.
#define NX_ARG_INDEX(name, tag) k_##name,
#define NX_ARG_MEMBER(name, tag) PyObject* name;
#define NX_ARG_NAME(name, tag) #name,
#define NX_ARG_TAG(name, tag) tag,
#define NX_ARG_READ(name, tag) args[k_##name],
#define NX_ARGUMENTS(Type, Tag, LIST)                                 \
    struct Type {                                                     \
        enum Index { LIST(NX_ARG_INDEX) kCount };                     \
        LIST(NX_ARG_MEMBER)                                           \
        static constexpr const char* kNames[] = {LIST(NX_ARG_NAME)};  \
        static constexpr Tag kDefaults[] = {LIST(NX_ARG_TAG)};        \
        static Type read(PyObject* const* args) {                     \
            return Type{LIST(NX_ARG_READ)}; /* NOLINT: a type name */ \
        }                                                             \
    }

template <class Args>
constexpr FuncSpec spec_of(const char* name, const char* doc, Impl impl) {
    static_assert(Args::kCount <= kMaxParams, "more parameters than a FuncSpec holds");
    FuncSpec spec{name, doc, Args::kCount, {}, impl};
    for (int i = 0; i < Args::kCount; i++) spec.params[i] = Args::kNames[i];
    return spec;
}

// define_function with every parameter's default given by `value(tag)`
// (a borrowed reference, or nullptr with an exception set).
template <class Args, class Value>
int define_function(PyObject* globals, const FuncSpec& spec, Value value) {
    PyObject* defaults[Args::kCount];
    for (int i = 0; i < Args::kCount; i++)
        if (!(defaults[i] = value(Args::kDefaults[i]))) return -1;
    return define_function(globals, spec, defaults, Args::kCount);
}

// The module global `name`, looked up when the function runs.
inline Ref global(Function* f, PyObject* name) { return global(f->globals, name); }

}  // namespace nx

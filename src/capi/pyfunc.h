// Module-level functions that behave like interpreted ones: positional-or-keyword
// parameters with defaults, then keyword-only ones, the interpreter's TypeError wording for wrong
// calls,
// __name__/__qualname__/__module__/__doc__/__defaults__/__kwdefaults__/__globals__,
// inspect.signature() support, and vectorcall.
#pragma once

#include "pyref.h"

#include <stdexcept>

namespace nx {

struct Function;

// The body of a function. `args` holds exactly `nparams` borrowed references,
// defaults already filled in. Returns a new reference, or nullptr with an
// exception set.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

constexpr int kMaxParams = 16;

// The default of one parameter, as its declaration gives it: none (the
// parameter is required), None, an int, a float, a str, or the module global
// of that name as it is when the function is defined (a setting fixed at
// import). Made into objects once, when the function is defined.
// `.keyword()` makes the parameter keyword-only (`def f(a, *, b=None)`): such
// parameters come last and have a default.
struct Default {
    enum Kind { kRequired, kNone, kInteger, kReal, kText, kGlobal };
    Kind kind = kRequired;
    long integer = 0;
    double real = 0;
    const char* text = nullptr;  // kText: the str (UTF-8); kGlobal: the global's name
    bool keyword_only = false;

    static constexpr Default required() { return {}; }
    static constexpr Default none() { return {kNone}; }
    static constexpr Default of(int v) { return {kInteger, v}; }
    static constexpr Default of(double v) { return {kReal, 0, v}; }
    static constexpr Default of(const char* utf8) { return {kText, 0, 0, utf8}; }
    static constexpr Default global(const char* name) { return {kGlobal, 0, 0, name}; }
    constexpr Default keyword() const { return {kind, integer, real, text, true}; }
};

struct FuncSpec {
    const char* name;
    const char* doc;
    int nparams;  // all of them; the keyword-only ones are the last
    const char* params[kMaxParams];
    Impl impl;
    // The parameters' defaults, in their order (all required when left out).
    Default defaults[kMaxParams] = {};
    int nkwonly = 0;  // the trailing keyword-only parameters
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
    PyObject* defaults;    // tuple, or nullptr for None
    PyObject* kwdefaults;  // dict of the keyword-only parameters, or nullptr
    PyObject* dict;
};

// Create a function bound to `globals`, with the defaults its spec declares
// (the required parameters must come first).
Ref make_function(const FuncSpec& spec, PyObject* globals);

// make_function, then bind it as the module global of its name.
int define_function(PyObject* globals, const FuncSpec& spec);

// Parameters declared once, in the manner of the interpreter's Argument Clinic.
// A list macro gives each parameter, in order, with its default:
//
//     #define FETCH_PARAMS(P) P(method, nx::Default::of("GET")) P(url, nx::Default::none())
//     NX_ARGUMENTS(FetchArgs, FETCH_PARAMS);
//     PyObject* fetch(nx::Function* f, const FetchArgs& a);  // reads a.method, a.url
//     constexpr nx::FuncSpec fetch_spec = nx::spec_of<FetchArgs, fetch>("fetch", doc);
//     ... nx::define_function(g, fetch_spec);
//
// declares `struct FetchArgs` with one borrowed `PyObject*` member a
// parameter and the names (kNames), defaults (kDefaults) and count (kCount)
// in parameter order (a member named as a C++ keyword takes a trailing "_",
// which the parameter's name drops: `default_` is `default`). spec_of makes
// the FuncSpec from them: its parameter count, names and defaults all come
// from the list, and the body is given the arguments by name, so no body
// reads an argument by its position. Functions of the same parameters share
// one list.
#define NX_ARG_INDEX(name, def) k_##name,
#define NX_ARG_MEMBER(name, def) PyObject* name;
#define NX_ARG_NAME(name, def) #name,
#define NX_ARG_DEFAULT(name, def) def,
#define NX_ARG_READ(name, def) args[k_##name],
#define NX_ARGUMENTS(Type, LIST)                                             \
    struct Type {                                                            \
        enum Index { LIST(NX_ARG_INDEX) kCount };                            \
        LIST(NX_ARG_MEMBER)                                                  \
        static constexpr const char* kNames[] = {LIST(NX_ARG_NAME)};         \
        static constexpr ::nx::Default kDefaults[] = {LIST(NX_ARG_DEFAULT)}; \
        static Type read(PyObject* const* args) {                            \
            return Type{LIST(NX_ARG_READ)}; /* NOLINT: a type name */        \
        }                                                                    \
    }

// The arguments of a function without parameters.
struct NoArgs {
    enum Index { kCount };
    static constexpr const char* kNames[] = {nullptr};
    static constexpr Default kDefaults[] = {Default::required()};
    static NoArgs read(PyObject* const*) { return {}; }
};

// The body of a function of the parameters Args.
template <class Args>
using Body = PyObject* (*)(Function* self, const Args& args);

template <class Args, Body<Args> body>
PyObject* call_with_args(Function* self, PyObject* const* args) {
    return body(self, Args::read(args));
}

template <class Args, Body<Args> body>
constexpr FuncSpec spec_of(const char* name, const char* doc) {
    static_assert(Args::kCount <= kMaxParams, "more parameters than a FuncSpec holds");
    FuncSpec spec{name, doc, Args::kCount, {}, call_with_args<Args, body>};
    bool optional = false;
    for (int i = 0; i < Args::kCount; i++) {
        spec.params[i] = Args::kNames[i];
        spec.defaults[i] = Args::kDefaults[i];
        const bool has_default = Args::kDefaults[i].kind != Default::kRequired;
        // (A constant expression cannot throw: a required parameter after
        // one with a default, a positional one after a keyword-only one, or
        // a keyword-only one without a default fails to compile.)
        if (optional && !has_default)
            throw std::logic_error("a required parameter follows one with a default");
        if (Args::kDefaults[i].keyword_only) {
            if (!has_default) throw std::logic_error("a keyword-only parameter needs a default");
            spec.nkwonly++;
        } else if (spec.nkwonly) {
            throw std::logic_error("a positional parameter follows a keyword-only one");
        }
        optional |= has_default;
    }
    return spec;
}

// The module global `name`, looked up when the function runs.
inline Ref global(Function* f, PyObject* name) { return global(f->globals, name); }

}  // namespace nx

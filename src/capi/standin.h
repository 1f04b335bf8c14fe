// Native code standing in for standard modules: "is the module that a global
// names still the interpreter's own?", answered in one place.
//
// A native fast path may replace calls into a standard module (re.sub,
// json.dumps, hashlib.md5, ...) only while it gives the very result those
// calls give: while the module's global is bound to the module as first
// seen, and the attributes the path replaces are still the objects first
// seen. A subsystem keeps one StandIn for the modules of its fast path, in
// its module's state, and each call reads
//
//     return standin.native(globals) ? fast(doc) : general(globals, doc);
//
// where `general` goes through the globals as interpreted code does.
#pragma once

#include "pyref.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace nx {

// A standard-library module and some of its attributes, kept as first seen
// (for the process: never released).
class StandardModule {
public:
    // Import `name` and keep it with the listed attributes (the first time only).
    int capture(const char* name, std::initializer_list<const char*> attrs);
    PyObject* module() const { return module_; }
    // The module's dict (borrowed), or nullptr when it is not a module object.
    PyObject* dict() const {
        return module_ && PyModule_Check(module_) ? PyModule_GetDict(module_) : nullptr;
    }
    // The i-th listed attribute as first seen (borrowed).
    PyObject* attr(std::size_t i) const { return attrs_[i].second; }
    // Are the module's listed attributes still the objects first seen?
    bool attrs_intact() const;
    // Is `candidate` this module, with its listed attributes intact?
    bool is(PyObject* candidate) const {
        return candidate && candidate == module_ && attrs_intact();
    }

private:
    PyObject* module_ = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> attrs_;  // (name, value)
};

// A check of some dicts' contents that passed, remembered with the dicts'
// version tags: up to 3.11 every change of a dict gives it a tag no dict had
// before, so while the tags are the same the check would pass again. From
// 3.12 on the tags are not to be read, and every check runs in full.
template <std::size_t N>
class Unchanged {
public:
    using Dicts = PyObject* const (&)[N];
    bool holds(Dicts dicts) const {
#if PY_VERSION_HEX < 0x030C0000
        for (std::size_t i = 0; i < N; ++i)
            if (!dicts[i] || dicts[i] != dict_[i] || version(dicts[i]) != version_[i]) return false;
        return true;
#else
        (void)dicts;
        return false;
#endif
    }
    void keep(Dicts dicts) {
#if PY_VERSION_HEX < 0x030C0000
        for (std::size_t i = 0; i < N; ++i) dict_[i] = dicts[i], version_[i] = version(dicts[i]);
#else
        (void)dicts;
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    static std::uint64_t version(PyObject* d) {
        return d ? reinterpret_cast<PyDictObject*>(d)->ma_version_tag : 0;
    }
    PyObject* dict_[N] = {};
    std::uint64_t version_[N] = {};
#endif
};

// The N standard modules of one fast path, each with the global that names
// it in the module's dict and the attributes the path replaces.
template <std::size_t N>
class StandIn {
public:
    struct Entry {
        const char* global;  // the module global, e.g. "re"
        const char* module;  // the module imported, e.g. "re"
        std::initializer_list<const char*> attrs;
    };

    // Import and keep the modules (the first call only); 0, or -1 with an
    // exception set.
    int capture(const Entry (&entries)[N]) {
        if (captured_) return 0;
        for (std::size_t i = 0; i < N; ++i) {
            if (modules_[i].capture(entries[i].module, entries[i].attrs) < 0) return -1;
            if (!(names_[i] = PyUnicode_InternFromString(entries[i].global))) return -1;
            dicts_[i] = modules_[i].dict();
        }
        captured_ = true;
        return 0;
    }

    bool captured() const { return captured_; }

    // Are the modules' replaced attributes as first seen?
    bool intact() {
        if (seen_modules_.holds(dicts_)) return true;
        for (const StandardModule& m : modules_)
            if (!m.attrs_intact()) return false;
        seen_modules_.keep(dicts_);
        return true;
    }

    // Does `globals` (a module's dict) bind each global to its module?
    bool bound_in(PyObject* globals) {
        PyObject* const dicts[] = {globals};
        if (seen_globals_.holds(dicts)) return true;
        for (std::size_t i = 0; i < N; ++i)
            if (PyDict_GetItem(globals, names_[i]) != modules_[i].module()) return false;
        seen_globals_.keep(dicts);
        return true;
    }

    // May native code stand in for the modules, for a call whose module
    // globals are `globals`?
    bool native(PyObject* globals) { return captured_ && intact() && bound_in(globals); }

    const StandardModule& operator[](std::size_t i) const { return modules_[i]; }

private:
    bool captured_ = false;
    StandardModule modules_[N];
    PyObject* names_[N] = {};
    PyObject* dicts_[N] = {};  // the modules' dicts (nullptr for an object that is no module)
    Unchanged<N> seen_modules_;
    Unchanged<1> seen_globals_;
};

}  // namespace nx

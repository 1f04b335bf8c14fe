// The watch both Python-facing functions keep on the modules they stand in
// for: whether some dicts are still as a check found them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace scrape {

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
            if (dicts[i] != dict_[i] || version(dicts[i]) != version_[i]) return false;
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
        return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
    }
    PyObject* dict_[N] = {};
    std::uint64_t version_[N] = {};
#endif
};

// The dict of a module object (borrowed), or nullptr for any other object.
inline PyObject* module_dict(PyObject* m) {
    return PyModule_Check(m) ? PyModule_GetDict(m) : nullptr;
}

}  // namespace scrape

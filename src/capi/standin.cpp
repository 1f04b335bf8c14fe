#include "standin.h"

namespace nx {

int StandardModule::capture(const char* name, std::initializer_list<const char*> attrs) {
    if (module_) return 0;
    Ref m = Ref::steal(PyImport_ImportModule(name));
    if (!m) return -1;
    std::vector<std::pair<PyObject*, PyObject*>> kept;
    for (const char* a : attrs) {
        Ref n = Ref::steal(PyUnicode_InternFromString(a));
        Ref v = n ? nx::attr(m.get(), n.get()) : Ref();
        if (!v) {
            for (auto& p : kept) {
                Py_DECREF(p.first);
                Py_DECREF(p.second);
            }
            return -1;
        }
        kept.emplace_back(n.release(), v.release());
    }
    module_ = m.release();
    attrs_ = std::move(kept);
    return 0;
}

bool StandardModule::attrs_intact() const {
    PyObject* d = PyModule_Check(module_) ? PyModule_GetDict(module_) : nullptr;
    if (!d) return false;
    for (const auto& p : attrs_)
        if (PyDict_GetItem(d, p.first) != p.second) return false;
    return true;
}

}  // namespace nx

// One-time module execution: the modules keep process-wide state, so their body
// runs once, in one interpreter.
#pragma once

#include "pyref.h"

#include <cstdint>
#include <type_traits>

// PyMODINIT_FUNC marks the init function visible only from 3.9 on; the
// modules are built with hidden visibility, so 3.8 needs it said here.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#define NX_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define NX_MODINIT_FUNC PyMODINIT_FUNC
#endif

namespace nx {

class OnceGuard {
public:
    explicit constexpr OnceGuard(const char* short_name) : name_(short_name) {}

    // Call first thing in the module's exec slot. Returns 0 to run the body,
    // 1 when this very module object already ran it, -1 with ImportError
    // (another interpreter) or RuntimeError (another module object).
    int enter(PyObject* module) {
        int64_t id = current_interpreter();
        if (interp_ == -1) {
            interp_ = id;
        } else if (interp_ != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return -1;
        }
        if (module_) {
            if (module_ == module) return 1;
            PyErr_Format(
                PyExc_RuntimeError,
                "Module '%s' has already been imported. Re-initialisation is not supported.",
                name_);
            return -1;
        }
        Py_INCREF(module);
        module_ = module;
        return 0;
    }

    // Call when the body failed: the import failed as a whole and may be retried.
    void failed() { Py_CLEAR(module_); }

private:
    static int64_t current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
        return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
        return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
    }

    const char* name_;
    int64_t interp_ = -1;
    PyObject* module_ = nullptr;  // owned for the life of the process
};

// The definition of a module whose body runs once per process (OnceGuard):
//
//     int run_body(PyObject* globals);
//     nx::RunOnceModule module_def("name", "docstring", run_body);
//     NX_MODINIT_FUNC PyInit_name(void) { return module_def.init(); }
//
// `body` fills the module's dict; when it fails, the import fails as a whole
// and a later import runs it again.
class RunOnceModule {
public:
    using Body = int (*)(PyObject* globals);

    RunOnceModule(const char* short_name, const char* doc, Body body)
        : def_{PyModuleDef_HEAD_INIT,
               short_name,
               doc,
               0,
               nullptr,
               slots_,
               nullptr,
               nullptr,
               nullptr},
          slots_{{Py_mod_exec, (void*)exec},
#if PY_VERSION_HEX >= 0x030C0000
                 {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
                 {0, nullptr}},
          guard_(short_name),
          body_(body) {
    }
    RunOnceModule(const RunOnceModule&) = delete;
    RunOnceModule& operator=(const RunOnceModule&) = delete;

    // What the module's PyInit function returns.
    PyObject* init() { return PyModuleDef_Init(&def_); }

private:
    static int exec(PyObject* module) {
        // def_ comes first in a standard-layout class: its address is the object's.
        auto* self = reinterpret_cast<RunOnceModule*>(PyModule_GetDef(module));
        int state = self->guard_.enter(module);
        if (state != 0) return state < 0 ? -1 : 0;
        if (self->body_(PyModule_GetDict(module)) < 0) {
            self->guard_.failed();
            return -1;
        }
        return 0;
    }

    PyModuleDef def_;
#if PY_VERSION_HEX >= 0x030C0000
    PyModuleDef_Slot slots_[3];
#else
    PyModuleDef_Slot slots_[2];
#endif
    OnceGuard guard_;
    Body body_;
};
static_assert(std::is_standard_layout<RunOnceModule>::value,
              "exec finds the RunOnceModule from the address of its def_");

}  // namespace nx

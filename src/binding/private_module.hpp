#pragma once
// A private module of the package (tamsel._slave, tamsel._core): one execution step that adds
// its type, no module state, multi-phase initialisation.
#include "binding/ref.hpp"

namespace tamsel::binding {

// The module's definition, initialised on the first call: its PyInit_ function returns this.
template <int (*exec)(PyObject* module)>
PyObject* init_private_module(const char* name, const char* doc) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&definition);
}

}  // namespace tamsel::binding

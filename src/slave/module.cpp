// The module tamsel._slave: the simulated slave's protocol core for tamsel.slave.
#include "binding/ref.hpp"
#include "slave/slave_object.hpp"

namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tamsel::slave::add_slave_type)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tamsel._slave",
    "Protocol core of the simulated FSoE slave; use tamsel.slave.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__slave() { return PyModuleDef_Init(&definition); }

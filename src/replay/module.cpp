// The module tamsel._core: the master's rules over plain frames, for tamsel._replay.
#include "binding/ref.hpp"
#include "replay/replay_object.hpp"

namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tamsel::replay::add_replay_type)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tamsel._core",
    "The master's rules over plain frames, for the recorder's replay; use tamsel.trace.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&definition); }

#pragma once
// Creation of the MasterHandler class.
#include "binding/ref.hpp"

namespace tamsel::master {

// Creates and publishes MasterHandler; false with an exception set on failure.
bool add_handler_type(PyObject* module);

// `with handler:` ends its watchdog thread on every way out of the block.
PyObject* handler_enter(PyObject* self);
PyObject* handler_exit(PyObject* self, PyObject* exc_type, PyObject* exc_value, PyObject* traceback);
// "<MasterHandler StateData running slave=0x000a conn=0x1234>"
PyObject* handler_repr(PyObject* self);

}  // namespace tamsel::master

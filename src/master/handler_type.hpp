#pragma once
// Creation of the MasterHandler class.
#include "binding/ref.hpp"

namespace tamsel::master {

// Creates and publishes MasterHandler; false with an exception set on failure.
bool add_handler_type(PyObject* module);

}  // namespace tamsel::master

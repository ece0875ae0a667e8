#pragma once
// Type definitions of the node classes, for their registration.
#include "binding/ref.hpp"

namespace tamsel::master {

bool add_session_class(PyObject* module);
bool add_node_class(PyObject* module);
bool add_application_parameter_class(PyObject* module);

}  // namespace tamsel::master

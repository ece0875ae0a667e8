#pragma once
// The host type over SlaveCore: tamsel._slave.SlaveCore.
#include "binding/ref.hpp"

namespace tamsel::slave {

// Creates the type and publishes it in `module`. Returns -1 with an exception set.
int add_slave_type(PyObject* module);

}  // namespace tamsel::slave

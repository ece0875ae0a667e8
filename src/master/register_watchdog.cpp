// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::master {

int add_watchdog(PyObject*) { return 0; }

}  // namespace tamsel::master

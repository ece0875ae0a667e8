// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::master {

int add_trace(PyObject*) { return 0; }

}  // namespace tamsel::master

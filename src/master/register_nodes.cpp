// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::master {

int add_node_classes(PyObject*) { return 0; }

}  // namespace tamsel::master

// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::mapping {

int add_dynamic_map_types(PyObject*) { return 0; }

}  // namespace tamsel::mapping

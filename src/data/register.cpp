// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::data {

int add_native_types(PyObject*) { return 0; }
int add_definitions(PyObject*) { return 0; }

}  // namespace tamsel::data

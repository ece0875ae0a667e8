// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::states {

int add_states(PyObject*) { return 0; }

}  // namespace tamsel::states

// Placeholder until this subsystem is built.
#include "binding/registry.hpp"

namespace tamsel::frame {

int add_native_types(PyObject*) { return 0; }
int add_definitions(PyObject*) { return 0; }
int add_sra_crc(PyObject*) { return 0; }

}  // namespace tamsel::frame

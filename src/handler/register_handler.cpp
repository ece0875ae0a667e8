// Registration of MasterHandler in the module body.
#include "binding/registry.hpp"
#include "handler/handler_diagnostics.hpp"
#include "handler/handler_type.hpp"

namespace tamsel::master {

int add_handler(PyObject* module) { return add_handler_type(module) && diagnostics::setup() ? 0 : -1; }

}  // namespace tamsel::master

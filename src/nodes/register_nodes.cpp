// Registration of Session, Node and ApplicationParameter.
#include "binding/registry.hpp"
#include "binding/module_state.hpp"
#include "nodes/node_types.hpp"

namespace tamsel::master {

int add_node_classes(PyObject* module) {
    return add_session_class(module) && add_node_class(module) && add_application_parameter_class(module) ? 0 : -1;
}

}  // namespace tamsel::master

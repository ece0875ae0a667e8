// Registration of DynamicMappableItem and FSOEDynamicMap.
#include "binding/registry.hpp"
#include "binding/module_state.hpp"
#include "mapping/dynamic_map_types.hpp"

namespace tamsel::mapping {

int add_dynamic_map_types(PyObject* module) {
    return add_dynamic_item_type(module) && add_dynamic_map_type(module) ? 0 : -1;
}

}  // namespace tamsel::mapping

// Registration of DynamicMappableItem and FSOEDynamicMap.
#include "binding/registry.hpp"
#include "mapping/dynamic_map_types.hpp"
#include "mapping/dynamic_names.hpp"

namespace tamsel::mapping {

int add_dynamic_map_types(PyObject* module) {
    return dynamic_names::intern_all() && add_dynamic_item_type(module) && add_dynamic_map_type(module) ? 0 : -1;
}

}  // namespace tamsel::mapping

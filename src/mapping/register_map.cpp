// Registration of the map types: DictionaryMappedItem, DictionaryMap and the map's iterator.
#include "binding/registry.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

int add_map_types(PyObject* module) {
    return add_mapped_item_type(module) && add_map_iterator_type(module) && add_map_type(module) ? 0 : -1;
}

}  // namespace tamsel::mapping

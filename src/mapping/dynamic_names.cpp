#include "mapping/dynamic_names.hpp"

namespace tamsel::mapping::dynamic_names {

TAMSEL_DEFINE_INTERNED_NAMES(TAMSEL_DYNAMIC_NAMES)

}  // namespace tamsel::mapping::dynamic_names

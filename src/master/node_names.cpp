#include "master/node_names.hpp"

namespace tamsel::master::node_names {

TAMSEL_DEFINE_INTERNED_NAMES(TAMSEL_NODE_NAMES)

}  // namespace tamsel::master::node_names

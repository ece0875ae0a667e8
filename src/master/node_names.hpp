#pragma once
// Interned attribute names the node classes use on maps, frames and handlers (immortal once
// interned).
#include "binding/interned_names.hpp"

namespace tamsel::master::node_names {

#define TAMSEL_NODE_NAMES(X) X(_lock) X(safety_bytes) X(safe_data_size_bytes) X(running) X(value) X(bytes)

// intern_all() interns every name once; false with an exception set on failure.
TAMSEL_DECLARE_INTERNED_NAMES(TAMSEL_NODE_NAMES)

}  // namespace tamsel::master::node_names

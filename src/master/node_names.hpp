#pragma once
// Interned attribute names the node classes use on maps, frames and handlers (immortal once
// interned).
#include "binding/ref.hpp"

namespace tamsel::master::node_names {

#define TAMSEL_NODE_NAMES(X) X(_lock) X(safety_bytes) X(safe_data_size_bytes) X(running) X(value) X(bytes)

#define TAMSEL_DECLARE_NAME(name) extern PyObject* name;
TAMSEL_NODE_NAMES(TAMSEL_DECLARE_NAME)
#undef TAMSEL_DECLARE_NAME

// Interns every name once; false with an exception set on failure.
bool intern_all();

}  // namespace tamsel::master::node_names

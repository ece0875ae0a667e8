#pragma once
#include "binding/ref.hpp"

namespace tamsel::replay {

// Adds the type ReplayCore to the module tamsel._core.
int add_replay_type(PyObject* module);

}  // namespace tamsel::replay

#pragma once
// The Parameter state's request preparation, also run by the Connection state on entry.
#include "states/base.hpp"

namespace tamsel::states {

// `self.map_frame()` of StateParameter; a null `self` stands for a temporary StateParameter.
int parameter_map_frame(PyObject* self, Context& ctx);

}  // namespace tamsel::states

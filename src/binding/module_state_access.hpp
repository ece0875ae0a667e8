#pragma once
// Installation of the module state, for the module definition only.
#include "binding/module_state.hpp"

namespace tamsel::binding {
void install_state(ModuleState* s);
}

#include "binding/module_state.hpp"
#include "binding/module_state_access.hpp"

namespace tamsel::binding {

ModuleState* detail::the_state = nullptr;

void install_state(ModuleState* s) { detail::the_state = s; }

int ModuleState::traverse(visitproc visit, void* arg) const {
#define TAMSEL_VISIT_SLOT(name) Py_VISIT(name.get());
    TAMSEL_STATE_OBJECTS(TAMSEL_VISIT_SLOT)
#undef TAMSEL_VISIT_SLOT
    return 0;
}

void ModuleState::clear() {
#define TAMSEL_CLEAR_SLOT(name) name.reset();
    TAMSEL_STATE_OBJECTS(TAMSEL_CLEAR_SLOT)
#undef TAMSEL_CLEAR_SLOT
}

}  // namespace tamsel::binding

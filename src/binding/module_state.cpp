#include "binding/module_state.hpp"
#include "binding/module_state_access.hpp"

namespace tamsel::binding {

ModuleState* detail::the_state = nullptr;

void install_state(ModuleState* s) { detail::the_state = s; }

int ModuleState::traverse(visitproc visit, void* arg) const {
#define TAMSEL_VISIT_SLOT(name) Py_VISIT(name.get());
    TAMSEL_STATE_OBJECTS(TAMSEL_VISIT_SLOT)
#undef TAMSEL_VISIT_SLOT
    for (const Ref& member : data_type_members) Py_VISIT(member.get());
    Py_VISIT(process_data.get());
    Py_VISIT(failsafe_data.get());
    return 0;
}

void ModuleState::clear() {
#define TAMSEL_CLEAR_SLOT(name) name.reset();
    TAMSEL_STATE_OBJECTS(TAMSEL_CLEAR_SLOT)
#undef TAMSEL_CLEAR_SLOT
    for (Ref& member : data_type_members) member.reset();
    process_data.reset();
    failsafe_data.reset();
}

}  // namespace tamsel::binding

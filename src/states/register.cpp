// Publishes State and the five states.
#include "binding/registry.hpp"
#include "binding/module_state.hpp"
#include "states/state_object.hpp"
#include "states/transitions.hpp"

namespace tamsel::states {

int add_states(PyObject* module) {
    if (!intern_transition_texts()) return -1;
    return create_state_classes(module);
}

}  // namespace tamsel::states

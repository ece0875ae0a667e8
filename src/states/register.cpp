// Publishes State and the five states.
#include "binding/registry.hpp"
#include "states/base.hpp"
#include "states/names.hpp"

namespace tamsel::states {

int add_states(PyObject* module) {
    if (!intern_names() || !intern_transition_texts()) return -1;
    return create_state_classes(module);
}

}  // namespace tamsel::states

#pragma once
// Records of the `tamsel` logger: one WARNING per reported fault, one INFO per state change.
// Nothing is looked up or formatted unless the logger is enabled for the level, and a log
// call that raises is reported as unraisable: logging never changes what the protocol does.
#include "handler/handler_object.hpp"

namespace tamsel::master::log {

void fault(HandlerObject* self, PyObject* transition_name, PyObject* message);
void state_change(HandlerObject* self, PyObject* previous, PyObject* next_state);

// logging.getLogger("tamsel") into the module state.
bool make_logger();

}  // namespace tamsel::master::log

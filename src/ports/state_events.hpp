#pragma once
// The events of a state object, as the handler drives its current state: for the module's own
// state classes they run the master's rules through the port that serves the object, for any
// other object (a host subclass, a substituted object) they call the Python-level method, so
// overrides are honoured.
#include "binding/ref.hpp"

namespace tamsel::states {

// The three events. Each returns a new reference to the class of the next state, or null
// with an exception set.
PyObject* process_frame_received(PyObject* state);
PyObject* process_watchdog_expired(PyObject* state);
PyObject* process_reset_connection(PyObject* state);

// `state.map_frame()`. Returns 0, or -1 with an exception set.
int map_frame(PyObject* state);

}  // namespace tamsel::states

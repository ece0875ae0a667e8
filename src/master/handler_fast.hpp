#pragma once
// The cycle in C++ over the slots of the module's own nodes, sessions, frames and dynamic
// maps. The current state is driven through the states' entry points, which run the module's
// own states in C++ and call the methods of any other state object.
#include "master/handler_object.hpp"

namespace tamsel::master::fast {

// Whether the fast cycle may run: both nodes, their frames, sessions and dynamic maps are the
// module's own (not substituted, not subclassed).
bool applies(PyObject* master, PyObject* slave);

// The same steps as generic::compute_request and generic::process_frame.
PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave);
PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave, PyObject* data);

}  // namespace tamsel::master::fast

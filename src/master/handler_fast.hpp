#pragma once
// The cycle in C++ over the slots of the module's own nodes, sessions, maps, frames and
// states. Used only when every object involved is of the module's exact type.
#include "master/handler_object.hpp"

namespace tamsel::master::fast {

// Whether the fast cycle may run: the handler, its nodes and everything they hold, and the
// current state are the module's own, not substituted or subclassed.
bool applies(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave);

PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave);
PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave, PyObject* data);

// Whether `state` is exactly one of the module's five states (its events run in C++).
bool is_own_state(PyObject* state);
PyObject* reset_connection_event(PyObject* state);
PyObject* watchdog_expired_event(PyObject* state);

// False for an expiry made stale by a later deactivation or reset of the watchdog.
bool expiry_is_current(HandlerObject* self);

}  // namespace tamsel::master::fast

#pragma once
// The slave Reset frame that opened the master's current session, kept by the handler (the
// rule is core::session_opening's).
#include <Python.h>

#include "handler/handler_object.hpp"

namespace tamsel::master::session_opening {

// 1 when `data` (bytes) is a copy of the Reset frame that opened the current session and no
// valid Session frame has come since, 0 when not, -1 with an exception set.
int repeats(HandlerObject* self, PyObject* data);

// After a processed reply: remembers `data` when it was a Reset frame that left the master in
// Session, forgets the frame once the master is in another state. False with an exception set.
bool note(HandlerObject* self, PyObject* data);

// After a watchdog expiry or a host reset: the session, if any, was not opened by a frame.
void forget(HandlerObject* self);

}  // namespace tamsel::master::session_opening

// The slave Reset frame that opened the current session (see session_opening.hpp).
#include "master/session_opening.hpp"

#include "binding/bytes.hpp"
#include "binding/ref.hpp"
#include "frame/control.hpp"

namespace tamsel::master::session_opening {

namespace {

// 1 in Session (a subclass counts), 0 elsewhere, -1 with an exception set.
int in_session(HandlerObject* self) {
    PyObject* state = self->state;
    return state ? PyObject_IsInstance(state, binding::state().StateSession.get()) : 0;
}

}  // namespace

int repeats(HandlerObject* self, PyObject* data) {
    PyObject* opening = self->session_opening;
    if (!opening || self->second_session_frame_sent || !binding::same_bytes(opening, data)) return 0;
    return in_session(self);
}

bool note(HandlerObject* self, PyObject* data) {
    const bool reset_frame = PyBytes_GET_SIZE(data) > 0 &&
                             static_cast<uint8_t>(PyBytes_AS_STRING(data)[0]) == frame::command::reset;
    if (!reset_frame && !self->session_opening) return true;  // the common case: nothing to note
    const int session = in_session(self);
    if (session < 0) return false;
    if (session && reset_frame) binding::assign(self->session_opening, data);
    else if (!session) forget(self);
    return true;
}

void forget(HandlerObject* self) { Py_CLEAR(self->session_opening); }

}  // namespace tamsel::master::session_opening

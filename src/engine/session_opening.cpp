#include "engine/session_opening.hpp"

#include "binding/ref.hpp"
#include "core/session_opening.hpp"

namespace tamsel::master::session_opening {

namespace rule = core::session_opening;

namespace {

// 1 in Session (a subclass counts), 0 elsewhere, -1 with an exception set.
int in_session(HandlerObject* self) {
    PyObject* state = self->state;
    return state ? PyObject_IsInstance(state, binding::state().StateSession.get()) : 0;
}

rule::Bytes bytes_of(PyObject* data) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
}

}  // namespace

int repeats(HandlerObject* self, PyObject* data) {
    PyObject* opening = self->session_opening;
    // Everything but the state first: the state test is the only one that can fail.
    if (!rule::repeats(opening != nullptr, opening ? bytes_of(opening) : rule::Bytes{}, bytes_of(data),
                       self->second_session_frame_sent, true))
        return 0;
    return in_session(self);
}

bool note(HandlerObject* self, PyObject* data) {
    // The common case, nothing remembered and no Reset frame, asks nothing of the state.
    if (!self->session_opening && !rule::is_reset_frame(bytes_of(data))) return true;
    const int session = in_session(self);
    if (session < 0) return false;
    switch (rule::after_reply(bytes_of(data), session)) {
        case rule::Update::remember: binding::assign(self->session_opening, data); break;
        case rule::Update::forget: forget(self); break;
        case rule::Update::keep: break;
    }
    return true;
}

void forget(HandlerObject* self) { Py_CLEAR(self->session_opening); }

}  // namespace tamsel::master::session_opening

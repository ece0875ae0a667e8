// The events of the state objects, run by the master's rules for the module's own classes.
#include "binding/module_state.hpp"
#include "core/master_rules.hpp"
#include "ports/state_events.hpp"
#include "states/state_object.hpp"
#include "ports/with_port.hpp"

namespace tamsel::states {

namespace {

// Runs `event(port, state)` for the module's own state classes, else calls `method` on the
// object.
template <typename Event>
PyObject* dispatch_event(PyObject* state, PyObject* method, Event event) {
    const int id = own_state_id(state);
    if (id < 0) return PyObject_CallMethodNoArgs(state, method);
    Ref self = Ref::borrow(state);
    return with_port(state, static_cast<PyObject*>(nullptr),
                     [&](auto& port) { return event(port, static_cast<StateId>(id)).release(); });
}

}  // namespace

PyObject* process_frame_received(PyObject* state) {
    return dispatch_event(state, binding::names()._process_frame_received_event,
                          [](auto& port, StateId id) { return core::frame_received(port, id); });
}

PyObject* process_watchdog_expired(PyObject* state) {
    return dispatch_event(state, binding::names()._process_watchdog_expired_event,
                          [](auto& port, StateId id) { return core::watchdog_expired(port, id); });
}

PyObject* process_reset_connection(PyObject* state) {
    return dispatch_event(state, binding::names()._process_reset_connection_event,
                          [](auto& port, StateId id) { return core::reset_connection(port, id); });
}

int map_frame(PyObject* state) {
    const int id = own_state_id(state);
    if (id < 0 || id == static_cast<int>(StateId::connection))
        return Ref::steal(PyObject_CallMethodNoArgs(state, binding::names().map_frame)) ? 0 : -1;
    Ref self = Ref::borrow(state);
    return with_port(state, -1, [id](auto& port) { return core::map_frame(port, static_cast<StateId>(id)); });
}

}  // namespace tamsel::states

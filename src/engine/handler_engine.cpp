// The handler's events and the state-change rule. The cycle runs the master's rules through
// the native port over the module's own objects, or through the host port when the host
// substituted or subclassed any of them; which one is decided here, once per event.
#include "engine/handler_engine.hpp"
#include "binding/module_state.hpp"
#include "binding/bytes.hpp"

#include "binding/reaction.hpp"
#include "core/master_cycle.hpp"
#include "handler/handler_diagnostics.hpp"
#include "ports/host_cycle_port.hpp"
#include "ports/native_port.hpp"
#include "engine/session_opening.hpp"
#include "binding/host_calls.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"
#include "ports/state_events.hpp"

namespace tamsel::master {

using binding::Ref;

namespace {

struct Parts {
    Ref state, master, slave;

    bool load(HandlerObject* self) {
        state = Ref::borrow(handler_field(self->state, "_state"));
        if (state) master = Ref::borrow(handler_field(self->master, "master"));
        if (master) slave = Ref::borrow(handler_field(self->slave, "slave"));
        return static_cast<bool>(slave);
    }
};

// Calls a handler operation as the handler's class defines it: the C++ body for the
// module's own class, the (possibly overridden) method otherwise.
bool dispatch_set_next_state(HandlerObject* self, PyObject* next_state) {
    if (is_exact_handler(reinterpret_cast<PyObject*>(self))) return set_next_state(self, next_state);
    return static_cast<bool>(
        py::call(reinterpret_cast<PyObject*>(self), binding::names()._set_next_state, {next_state}));
}

bool dispatch_recalculate_request(HandlerObject* self) {
    if (is_exact_handler(reinterpret_cast<PyObject*>(self))) return recalculate_request(self);
    return static_cast<bool>(
        py::call(reinterpret_cast<PyObject*>(self), binding::names()._MasterHandler__recalculate_request));
}

// Runs one event of the current state (a method without arguments returning the next
// state class), installs the next state and computes the next request.
bool run_event(HandlerObject* self, PyObject* (*event)(PyObject*)) {
    PyObject* current = handler_field(self->state, "_state");
    if (!current) return false;
    Ref state = Ref::borrow(current);
    Ref next_state = Ref::steal(event(state.get()));
    session_opening::forget(self);
    return next_state && dispatch_set_next_state(self, next_state.get()) && dispatch_recalculate_request(self);
}

}  // namespace

PyObject* compute_request(HandlerObject* self) {
    PyObject* handler = reinterpret_cast<PyObject*>(self);
    if (PyObject* state = self->state; state && ports::NativePort::serves(state, handler)) {
        ports::NativePort port(state, handler);
        return core::compute_request(port) ? port.request_image() : nullptr;
    }
    Parts parts;
    if (!parts.load(self)) return nullptr;
    ports::HostCyclePort port(self, parts.state.get(), parts.master.get(), parts.slave.get());
    return core::compute_request(port) ? port.request_image() : nullptr;
}

namespace {

bool store_request(HandlerObject* self, PyObject* request) {
    if (!request) return false;
    Ref owned = Ref::steal(request);
    binding::assign(self->current_request, request);
    diagnostics::request_computed(self, request);
    return true;
}

}  // namespace

bool process_reply(HandlerObject* self, PyObject* data, bool* request_computed) {
    binding::assign(self->last_reply, data);
    diagnostics::reply_accepted(self, data);
    PyObject* handler = reinterpret_cast<PyObject*>(self);
    if (PyObject* state = self->state; state && ports::NativePort::serves(state, handler)) {
        ports::NativePort port(state, handler, data);
        Ref next_state = core::process_reply(port);
        if (!next_state) return false;
        // A steady cycle: the state stays and no host code ran that could have changed the
        // handler. The next request is computed on the same port.
        if (request_computed && !port.pinned() && next_state.get() == reinterpret_cast<PyObject*>(Py_TYPE(state))) {
            *request_computed = true;
            return store_request(self, core::compute_request(port) ? port.request_image() : nullptr);
        }
        return set_next_state(self, next_state.get());
    }
    Parts parts;
    if (!parts.load(self)) return false;
    ports::HostCyclePort port(self, parts.state.get(), parts.master.get(), parts.slave.get(), data);
    Ref next_state = core::process_reply(port);
    return next_state && dispatch_set_next_state(self, next_state.get());
}

bool set_next_state(HandlerObject* self, PyObject* next_state) {
    PyObject* current = handler_field(self->state, "_state");
    if (!current) return false;
    int stays = PyObject_IsInstance(current, next_state);
    if (stays < 0) return false;
    if (stays) return true;
    Ref previous = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(current)));
    PyObject* self_obj = reinterpret_cast<PyObject*>(self);
    Ref kwnames = Ref::steal(PyTuple_Pack(1, binding::names().context));
    if (!kwnames) return false;
    PyObject* args[2] = {nullptr, self_obj};
    Ref state = Ref::steal(
        PyObject_Vectorcall(next_state, args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!state) return false;
    binding::assign(self->state, state.get());
    diagnostics::state_changed(self, previous.get(), next_state);
    if (!self->state_change_callback || self->state_change_callback == Py_None) return true;
    Ref callback = Ref::borrow(self->state_change_callback);
    return binding::Reaction::run_host_code([&] { return PyObject_CallOneArg(callback.get(), next_state); });
}

bool recalculate_request(HandlerObject* self) {
    PyObject* self_obj = reinterpret_cast<PyObject*>(self);
    return store_request(self, is_exact_handler(self_obj)
                                   ? compute_request(self)
                                   : py::call(self_obj, binding::names()._get_request).release());
}

bool reset_connection(HandlerObject* self) {
    binding::Reaction reaction;
    HandlerLock::Guard guard(self->lock);
    if (!guard) return false;
    return reaction.finish(run_event(self, states::process_reset_connection));
}

bool call_reset(HandlerObject* self) {
    PyObject* self_obj = reinterpret_cast<PyObject*>(self);
    if (is_exact_handler(self_obj)) return reset_connection(self);
    return static_cast<bool>(py::call(self_obj, binding::names().reset));
}

bool watchdog_expired(HandlerObject* self) {
    binding::Reaction reaction;
    // An expiry overtaken by a host operation that fed, stopped or deactivated the watchdog
    // while this one waited for the lock is dropped; the wait itself ends as soon as the
    // expiry is stale, so a host operation waiting for this callback to return goes on.
    PyObject* watchdog = self->watchdog;
    const auto stale = [watchdog] { return watchdog && watchdog_expiry_is_stale(watchdog); };
    HandlerLock::Guard guard(self->lock, stale);
    if (guard.given_up()) return true;
    if (!guard) return false;
    if (stale()) return true;
    diagnostics::watchdog_expired(self);
    if (reaction.finish(run_event(self, states::process_watchdog_expired))) return true;
    // SystemExit or KeyboardInterrupt from a callback would end the watchdog thread, and with
    // it the supervision of every later cycle: on that thread it is logged like any other
    // exception of an expiry, and the thread goes on.
    const WatchdogExpiry* expiry = current_watchdog_expiry();
    if (!expiry || expiry->watchdog != watchdog || PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    log_exception(crash_message, exception.get());
    return true;
}

bool accept_reply(HandlerObject* self, PyObject* data) {
    binding::Reaction reaction;
    HandlerLock::Guard guard(self->lock);
    if (!guard) return false;
    if (!self->running) return true;
    if (binding::same_bytes(self->last_reply, data)) return true;
    const int repeated = session_opening::repeats(self, data);
    if (repeated) {
        if (repeated > 0) binding::assign(self->last_reply, data);
        return reaction.finish(repeated > 0);
    }
    PyObject* self_obj = reinterpret_cast<PyObject*>(self);
    if (is_exact_handler(self_obj)) {
        bool request_computed = false;
        const bool processed = process_reply(self, data, &request_computed) && session_opening::note(self, data);
        return reaction.finish(processed && (request_computed || recalculate_request(self)));
    }
    const bool processed = py::call(self_obj, binding::names()._set_reply, {data}) && session_opening::note(self, data);
    return reaction.finish(processed && dispatch_recalculate_request(self));
}

}  // namespace tamsel::master

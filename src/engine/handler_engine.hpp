#pragma once
// The handler's engine: request computation, reply processing and the events it feeds the
// current state. Every function returns false (or null) with an exception set on failure.
// The callers hold the handler's lock.
#include "handler/handler_object.hpp"

namespace tamsel::master {

// `_get_request`: fills, stamps and protects the master frame; returns its byte image.
PyObject* compute_request(HandlerObject* self);
// `_set_reply`: takes a slave frame, lets the current state process it, installs the next state.
// With `request_computed`, a steady cycle also computes the next request and says so there.
bool process_reply(HandlerObject* self, PyObject* data, bool* request_computed = nullptr);
// `_set_next_state`: the state-change rule.
bool set_next_state(HandlerObject* self, PyObject* next_state);

// `__recalculate_request`, through `_get_request` as the handler's class defines it.
bool recalculate_request(HandlerObject* self);
// `reset()`: the reset-connection event of the current state, then a new request.
bool reset_connection(HandlerObject* self);
// `self.reset()`, as the handler's class defines it.
bool call_reset(HandlerObject* self);
// `_watchdog_expired_event()`: the watchdog-expired event, then a new request.
bool watchdog_expired(HandlerObject* self);
// The new-PDU rule of `set_reply`.
bool accept_reply(HandlerObject* self, PyObject* data);

}  // namespace tamsel::master

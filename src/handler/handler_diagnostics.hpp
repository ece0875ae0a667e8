#pragma once
// What a handler records about its own run: the counters behind `statistics`, the records of
// the `tamsel` logger and the frames captured for an attached recorder. The engine calls
// these at its events; the per-cycle ones are a counter increment and, only while a recorder
// is attached, one copy into its ring.
#include "recorder/frame_ring.hpp"
#include "handler/handler_object.hpp"

namespace tamsel::master::diagnostics {

// Copies `image` (bytes) into the attached recorder's ring with the current state.
void capture(HandlerObject* self, Direction direction, PyObject* image);

// A new reply (the bytes given to set_reply) is about to be processed.
inline void reply_accepted(HandlerObject* self, PyObject* data) {
    ++self->counters.replies;
    // The command is the image's first byte.
    if (PyBytes_GET_SIZE(data) > 0 && static_cast<uint8_t>(PyBytes_AS_STRING(data)[0]) == frame::command::reset)
        ++self->counters.slave_resets;
    if (self->recorder) capture(self, Direction::slave_to_master, data);
}

// `request` (bytes) became the request the host sends.
inline void request_computed(HandlerObject* self, PyObject* request) {
    ++self->counters.requests;
    if (self->recorder) capture(self, Direction::master_to_slave, request);
}

inline void watchdog_expired(HandlerObject* self) { ++self->counters.watchdog_expiries; }

// Counts the fault, keeps it as the last one and logs it. Nothing here can stop the
// master's reaction: what fails (memory, a log handler) is reported as unraisable.
void fault_reported(HandlerObject* self, PyObject* transition_name, PyObject* message);

// The current state object was replaced by one of class `next_state` (the old one was of
// class `previous`): counts a connection, stamps the time and logs the change.
void state_changed(HandlerObject* self, PyObject* previous, PyObject* next_state);

// time.time() now; the handler's constructor stamps its first state with it.
double wall_clock_now();

// A new HandlerStatistics snapshot.
PyObject* statistics_snapshot(HandlerObject* self);

// The snapshot classes, the `tamsel` logger and the ring type, kept in the module state
// (none of them is published in the module namespace).
bool setup();

}  // namespace tamsel::master::diagnostics

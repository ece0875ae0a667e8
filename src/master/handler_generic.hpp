#pragma once
// The handler's cycle over published attribute names and method calls.
#include "frame/frame.hpp"
#include "master/handler_object.hpp"

namespace tamsel::master::generic {

// Replies longer than the longest frame image are cut to it: what lies beyond can belong to
// no frame, and the state's checks then find the fault.
inline constexpr Py_ssize_t longest_reply = static_cast<Py_ssize_t>(frame::MAX_PARSE_LENGTH);

enum class StateKind { reset, session, data, other };

// Which of the states the request computation tells apart `state` is (subclasses count).
StateKind classify(PyObject* state);

// Request computation; returns the byte image (new reference) or null.
PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave);

// Reply processing up to (not including) the state change: parses `data`, runs the
// frame-received event of `state` and the bookkeeping after it. Returns the next state class.
PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave, PyObject* data);

}  // namespace tamsel::master::generic

#pragma once
// The native ring an attached FrameRecorder reads (`tamsel._FrameRing`, not published in the
// module namespace), and attaching it to a handler.
#include "handler/handler_object.hpp"

namespace tamsel::master::diagnostics {

// `_attach_recorder(capacity)`: a new ring of `capacity` frames (an int, 1 to
// FrameRing::max_capacity), attached to the handler; RuntimeError while another is attached.
PyObject* attach_recorder(HandlerObject* self, PyObject* capacity);
// `_detach_recorder(ring)`: detaches `ring` if it is the attached one.
void detach_recorder(HandlerObject* self, PyObject* ring);

// The attached recorder keeps a fault the handler reported / a change of its state class
// (from `previous` to `next_state`), between the frames it captured before and after.
void record_fault(HandlerObject* self, PyObject* transition_name, PyObject* message);
void record_state_change(HandlerObject* self, PyObject* previous, PyObject* next_state);

bool make_ring_type();

}  // namespace tamsel::master::diagnostics

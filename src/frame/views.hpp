#pragma once
// The frame's views and the type specs of the frame layer, for the frame layer's own files.
#include "binding/args.hpp"
#include "binding/ref.hpp"
#include "frame/frame.hpp"

namespace tamsel::frame {

// A new FSOEFrameControl over `control`, which lives inside `owner` (kept alive by the view).
PyObject* new_control_view(PyObject* owner, FrameControl* control);

// A new U16Array over `count` words at `words`, which live inside `owner` (kept alive by the view).
PyObject* new_word_view(PyObject* owner, uint16_t* words, uint32_t count);

PyType_Spec& control_view_spec();
PyType_Spec& word_view_spec();
PyType_Spec& frame_spec();

// Setter result for `del` on a frame or view property: TypeError, -1.
inline int refuse_delete() { return binding::refuse_delete(nullptr, PyExc_TypeError); }

// The FSOECommand enumeration with its has_value class method; new reference or null.
PyObject* make_command_enum();

}  // namespace tamsel::frame

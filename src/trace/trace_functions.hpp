#pragma once
// Internals of the trace shared by its dispatch, its functions and their registration.
#include "binding/ref.hpp"

namespace tamsel::trace {

// The C implementations of the three module functions (to recognise them when bound).
PyCFunction log_transition_impl();
PyCFunction log_generate_crc_impl();
PyCFunction log_check_crc_impl();
// Their method definitions, null-terminated.
PyMethodDef* trace_function_defs();

// Starts watching the module namespace for changes of the names above; false when the
// interpreter has no watcher left (the trace then looks the names up on every call).
bool watch_namespace(PyObject* module);
bool watching();

}  // namespace tamsel::trace

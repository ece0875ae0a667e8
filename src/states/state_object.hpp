#pragma once
// C++ access to the master state objects, for the handler.
//
// The five state classes are plain classes: instances carry a dict and the link to their
// handler. The handler drives its current state through the entry points below; for the
// module's own state classes they run the state machine in C++, for any other object
// (a host subclass, a substituted object) they call the Python-level method, so overrides
// are honoured.
#include "binding/ref.hpp"

namespace tamsel::states {

struct StateObject {
    PyObject_HEAD PyObject* dict;  // instance attributes
    PyObject* context;             // the handler that owns the state
};

// The `id` of each state class.
enum class StateId : int { reset = 0, session = 1, connection = 2, parameter = 3, data = 4 };
inline constexpr int state_count = 5;

// The module's own class of `id` (borrowed; valid while the module is loaded).
PyTypeObject* state_type(StateId id);

// The id of `cls` if it is exactly one of the five state classes, else -1.
int own_class_id(PyObject* cls);

// The id of `state` if its type is exactly one of the five state classes, else -1.
inline int own_state_id(PyObject* state) { return own_class_id(reinterpret_cast<PyObject*>(Py_TYPE(state))); }

// The three events. Each returns a new reference to the class of the next state, or null
// with an exception set.
PyObject* process_frame_received(PyObject* state);
PyObject* process_watchdog_expired(PyObject* state);
PyObject* process_reset_connection(PyObject* state);

// `state.map_frame()`. Returns 0, or -1 with an exception set.
int map_frame(PyObject* state);

}  // namespace tamsel::states

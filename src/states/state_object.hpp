#pragma once
// C++ access to the master state objects, for the handler.
//
// The five state classes are plain classes: instances carry a dict and the link to their
// handler. The handler drives its current state through the entry points below; for the
// module's own state classes they run the master's rules in C++, for any other object (a
// host subclass, a substituted object) they call the Python-level method, so overrides are
// honoured.
#include "binding/module_state.hpp"
#include "binding/ref.hpp"
#include "core/protocol.hpp"

namespace tamsel::states {

using binding::Ref;

struct StateObject {
    PyObject_HEAD PyObject* dict;  // instance attributes
    PyObject* context;             // the handler that owns the state
};

// The `id` of each state class.
using StateId = core::State;
inline constexpr int state_count = core::state_count;

// The module's own class of `id` (borrowed; valid while the module is loaded).
PyTypeObject* state_type(StateId id);
// The module-state slot that holds the class of `id`.
binding::Ref binding::ModuleState::* class_slot(StateId id);
// A new reference to the module's class of `id`.
PyObject* class_ref(StateId id);

// The id of `cls` if it is exactly one of the five state classes, else -1.
int own_class_id(PyObject* cls);

// The id of `state` if its type is exactly one of the five state classes, else -1.
inline int own_state_id(PyObject* state) { return own_class_id(reinterpret_cast<PyObject*>(Py_TYPE(state))); }

// The handler of a state object (`self.context`); null with an exception set.
Ref state_context(PyObject* self);

// The three events. Each returns a new reference to the class of the next state, or null
// with an exception set.
PyObject* process_frame_received(PyObject* state);
PyObject* process_watchdog_expired(PyObject* state);
PyObject* process_reset_connection(PyObject* state);

// `state.map_frame()`. Returns 0, or -1 with an exception set.
int map_frame(PyObject* state);

// Creates State and the five state classes and publishes them; -1 with an exception set.
int create_state_classes(PyObject* module);

}  // namespace tamsel::states

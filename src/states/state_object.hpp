#pragma once
// C++ access to the master state objects: their layout and the module's five classes.
//
// The five state classes are plain classes: instances carry a dict and the link to their
// handler. Their events are run through ports/state_events.hpp.
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

// Creates State and the five state classes and publishes them; -1 with an exception set.
int create_state_classes(PyObject* module);

}  // namespace tamsel::states

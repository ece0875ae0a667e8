#pragma once
// Shared machinery of the state classes: what each class does, how a call reaches either
// the C++ implementation or a host override, and the shape of the common events.
#include "binding/module_state.hpp"
#include "states/context.hpp"
#include "states/state_object.hpp"

namespace tamsel::states {

// The C++ side of one state class. `self` is the state object (the module's own class or a
// host subclass); every function returns a new reference to a state class, or null.
struct Behaviour {
    PyObject* (*frame_received)(PyObject* self, Context& ctx);
    PyObject* (*perform)(PyObject* self, Context& ctx, Transition t);  // its `own` actions
    int (*map_frame)(PyObject* self, Context& ctx);                    // null: the class has none
    Transition watchdog;                                               // its WD transition
    Transition host_reset;                                             // what a host reset runs
    PyMethodDef* extra_methods;                                        // its private operations
};

extern const Behaviour reset_behaviour;
extern const Behaviour session_behaviour;
extern const Behaviour connection_behaviour;
extern const Behaviour parameter_behaviour;
extern const Behaviour data_behaviour;
const Behaviour& behaviour(StateId id);

// The module-state slot that holds the class of `id`.
Ref binding::ModuleState::* class_slot(StateId id);
// A new reference to the module's class of `id`.
PyObject* class_ref(StateId id);

// The handler of a state object (`self.context`); null with an exception set.
Ref state_context(PyObject* self);

// Calls the module function `_log_transition` with the transition's name.
bool log_transition(Transition t);

// The action of `t` in C++: its kind's shape, or the owning state's own code.
PyObject* perform_action(PyObject* self, Context& ctx, Transition t);

// Runs `t`'s action on `self`: in C++ when `self` is exactly the owning class, otherwise
// through the action method as the host sees it, so an override is honoured.
PyObject* run_action(PyObject* self, Context& ctx, Transition t);
// Reports (t, message) through the handler, then runs `t`'s action.
PyObject* report_and_run(PyObject* self, Context& ctx, Transition t, PyObject* message);

// `self._check_received_crcs()`: 1, 0, or -1 with an exception set.
int check_received_crcs(PyObject* self, Context& ctx);
// `self.map_frame()` for a state class that has one.
int call_map_frame(PyObject* self, Context& ctx, StateId owner);

// The two events that are the same shape in every state.
PyObject* watchdog_expired(PyObject* self, Context& ctx, StateId id);
PyObject* reset_connection(PyObject* self, Context& ctx, StateId id);

// Creates the six classes and publishes them; -1 with an exception set.
int create_state_classes(PyObject* module);

}  // namespace tamsel::states

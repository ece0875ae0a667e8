// Which of the module's five state classes an object is, and the handler it belongs to.
#include "binding/module_state.hpp"
#include "states/state_object.hpp"

namespace tamsel::states {

namespace {

constexpr Ref binding::ModuleState::* class_slots[state_count] = {
    &binding::ModuleState::StateReset,     &binding::ModuleState::StateSession, &binding::ModuleState::StateConnection,
    &binding::ModuleState::StateParameter, &binding::ModuleState::StateData,
};

}  // namespace

Ref binding::ModuleState::* class_slot(StateId id) { return class_slots[static_cast<int>(id)]; }

PyTypeObject* state_type(StateId id) { return binding::as_type(binding::state().*class_slots[static_cast<int>(id)]); }

PyObject* class_ref(StateId id) { return Py_NewRef(reinterpret_cast<PyObject*>(state_type(id))); }

int own_class_id(PyObject* cls) {
    binding::ModuleState& st = binding::state();
    for (int i = 0; i < state_count; ++i)
        if ((st.*class_slots[i]).get() == cls) return i;
    return -1;
}

Ref state_context(PyObject* self) {
    if (own_state_id(self) >= 0) {
        PyObject* context = reinterpret_cast<StateObject*>(self)->context;
        if (context) return Ref::borrow(context);
    }
    return Ref::steal(PyObject_GetAttr(self, binding::names().context));
}

}  // namespace tamsel::states

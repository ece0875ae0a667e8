// The dispatch shared by all states and the C++ entry points of the handler.
#include "states/base.hpp"

#include "binding/module_state.hpp"
#include "trace/trace.hpp"

namespace tamsel::states {

namespace {

constexpr Ref binding::ModuleState::* class_slots[state_count] = {
    &binding::ModuleState::StateReset,     &binding::ModuleState::StateSession, &binding::ModuleState::StateConnection,
    &binding::ModuleState::StateParameter, &binding::ModuleState::StateData,
};

int call_truth_method(PyObject* self, PyObject* method) {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(self, method));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace

const Behaviour& behaviour(StateId id) {
    switch (id) {
        case StateId::reset: return reset_behaviour;
        case StateId::session: return session_behaviour;
        case StateId::connection: return connection_behaviour;
        case StateId::parameter: return parameter_behaviour;
        case StateId::data: return data_behaviour;
    }
    return reset_behaviour;
}

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

bool log_transition(Transition t) { return trace::transition(transition_name(t)); }

PyObject* run_action(PyObject* self, Context& ctx, Transition t) {
    int owner = transition_owner[static_cast<int>(t)];
    if (own_state_id(self) == owner) return perform_action(self, ctx, t);
    return PyObject_CallMethodNoArgs(self, action_method_name(t));
}

PyObject* report_and_run(PyObject* self, Context& ctx, Transition t, PyObject* message) {
    if (!ctx.report(t, message)) return nullptr;
    return run_action(self, ctx, t);
}

int check_received_crcs(PyObject* self, Context& ctx) {
    if (own_state_id(self) >= 0) return ctx.check_received_crcs();
    return call_truth_method(self, binding::names()._check_received_crcs);
}

int call_map_frame(PyObject* self, Context& ctx, StateId owner) {
    if (own_state_id(self) == static_cast<int>(owner)) return behaviour(owner).map_frame(self, ctx);
    return Ref::steal(PyObject_CallMethodNoArgs(self, binding::names().map_frame)) ? 0 : -1;
}

PyObject* watchdog_expired(PyObject* self, Context& ctx, StateId id) {
    Transition t = behaviour(id).watchdog;
    return report_and_run(self, ctx, t, message_text(Message::watchdog_expired));
}

PyObject* reset_connection(PyObject* self, Context& ctx, StateId id) {
    return run_action(self, ctx, behaviour(id).host_reset);
}

// Entry points of the handler.

namespace {

// Runs `event` in C++ for the module's own state classes, else calls `method` on the object.
template <typename Event>
PyObject* dispatch_event(PyObject* state, PyObject* method, Event event) {
    int id = own_state_id(state);
    if (id < 0) return PyObject_CallMethodNoArgs(state, method);
    Ref self = Ref::borrow(state);
    Ref context = state_context(state);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return event(self.get(), ctx, static_cast<StateId>(id));
}

}  // namespace

PyObject* process_frame_received(PyObject* state) {
    return dispatch_event(state, binding::names()._process_frame_received_event,
                          [](PyObject* self, Context& ctx, StateId id) {
                              return behaviour(id).frame_received(self, ctx);
                          });
}

PyObject* process_watchdog_expired(PyObject* state) {
    return dispatch_event(state, binding::names()._process_watchdog_expired_event, watchdog_expired);
}

PyObject* process_reset_connection(PyObject* state) {
    return dispatch_event(state, binding::names()._process_reset_connection_event, reset_connection);
}

int map_frame(PyObject* state) {
    int id = own_state_id(state);
    if (id < 0 || !behaviour(static_cast<StateId>(id)).map_frame)
        return Ref::steal(PyObject_CallMethodNoArgs(state, binding::names().map_frame)) ? 0 : -1;
    Ref self = Ref::borrow(state);
    Ref context = state_context(state);
    if (!context) return -1;
    Context ctx(std::move(context));
    return behaviour(static_cast<StateId>(id)).map_frame(self.get(), ctx);
}

}  // namespace tamsel::states

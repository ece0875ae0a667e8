// The host classes: the abstract State and the five states.
#include <array>
#include <utility>
#include <vector>

#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "core/master_rules.hpp"
#include "ports/host_port.hpp"
#include "states/state_object.hpp"
#include "states/transitions.hpp"
#include "ports/with_port.hpp"

namespace tamsel::states {

namespace {

bool state_init(StateObject* self, PyObject* context) {
    binding::assign(self->context, context);
    return true;
}

using state_constructor = binding::constructor<state_init, binding::param<"context", binding::any_object>>;

using state_references = binding::references<&StateObject::dict, &StateObject::context>;
constexpr auto state_traverse = state_references::traverse;
constexpr auto state_clear = state_references::clear;

void state_dealloc(PyObject* self) { binding::gc_dealloc(self, state_clear); }

using state_fields =
    binding::fields<binding::instance_dict<&StateObject::dict>, binding::member<"context", &StateObject::context>>;

// The base class's events are abstract.
PyObject* abstract_event(PyObject*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

PyObject* check_received_crcs_method(PyObject* self) {
    return with_port(self, static_cast<PyObject*>(nullptr), [](auto& port) -> PyObject* {
        const int result = port.check_received_crcs();
        return result < 0 ? nullptr : PyBool_FromLong(result);
    });
}

PyObject* abstract_names() {
    return PyFrozenSet_New(Ref::steal(PyTuple_Pack(3, binding::names()._process_frame_received_event,
                                                   binding::names()._process_watchdog_expired_event,
                                                   binding::names()._process_reset_connection_event))
                               .get());
}

// A host subclass stays abstract while one of the three events is still the base's, or is
// marked abstract, as the host's abstract base classes do it.
PyObject* init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyObject* base = binding::state().State.get();
    Ref remaining = Ref::steal(PySet_New(nullptr));
    if (!remaining) return nullptr;
    for (PyObject* event :
         {binding::names()._process_frame_received_event, binding::names()._process_watchdog_expired_event,
          binding::names()._process_reset_connection_event}) {
        Ref value = Ref::steal(PyObject_GetAttr(cls, event));
        if (!value) return nullptr;
        Ref inherited = Ref::steal(PyObject_GetAttr(base, event));
        if (!inherited) return nullptr;
        int abstract = value.get() == inherited.get();
        if (!abstract) {
            Ref flag = Ref::steal(PyObject_GetAttr(value.get(), binding::names().__isabstractmethod__));
            if (!flag) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
                PyErr_Clear();
            }
            abstract = flag ? PyObject_IsTrue(flag.get()) : 0;
            if (abstract < 0) return nullptr;
        }
        if (abstract && PySet_Add(remaining.get(), event) < 0) return nullptr;
    }
    Ref frozen = Ref::steal(PyFrozenSet_New(remaining.get()));
    if (!frozen || PyObject_SetAttr(cls, binding::names().__abstractmethods__, frozen.get()) < 0) return nullptr;
    Ref parent = Ref::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), base, cls, nullptr));
    if (!parent) return nullptr;
    Ref next = Ref::steal(PyObject_GetAttr(parent.get(), binding::names().__init_subclass__));
    if (!next) return nullptr;
    return PyObject_Call(next.get(), args, kwargs);
}

using binding::noargs_method;

PyMethodDef* base_methods() {
    static PyMethodDef table[] = {
        noargs_method<"_process_frame_received_event", "", abstract_event>::entry(),
        noargs_method<"_process_watchdog_expired_event", "", abstract_event>::entry(),
        noargs_method<"_process_reset_connection_event", "", abstract_event>::entry(),
        noargs_method<"_check_received_crcs", "", check_received_crcs_method>::entry(),
        binding::forwarding_class_method<"__init_subclass__", init_subclass>::entry(),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

// Methods of the concrete classes. `S` is the class that defines the method; `self` may be
// an instance of a host subclass.

// Runs `body(port)`, a rule that leads to a state, on `self`.
template <typename Body>
PyObject* run_rule(PyObject* self, Body body) {
    return with_port(self, static_cast<PyObject*>(nullptr), [&](auto& port) { return body(port).release(); });
}

template <int S>
PyObject* frame_received_method(PyObject* self) {
    return run_rule(self, [](auto& port) { return core::frame_received(port, StateId(S)); });
}

template <int S>
PyObject* watchdog_expired_method(PyObject* self) {
    return run_rule(self, [](auto& port) { return core::watchdog_expired(port, StateId(S)); });
}

template <int S>
PyObject* reset_connection_method(PyObject* self) {
    return run_rule(self, [](auto& port) { return core::reset_connection(port, StateId(S)); });
}

template <int S>
PyObject* map_frame_method(PyObject* self) {
    return with_port(self, static_cast<PyObject*>(nullptr), [](auto& port) -> PyObject* {
        if (core::map_frame(port, StateId(S)) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

template <int T>
PyObject* action_method(PyObject* self) {
    return run_rule(self, [](auto& port) { return core::perform(port, Transition(T)); });
}

// The private operations of StateReset, StateSession and StateParameter.

PyObject* reset_handler_method(PyObject* self, PyObject* error) {
    return run_rule(self, [error](auto& port) { return core::reset_procedure(port, error, true); });
}

PyObject* reset_session_method(PyObject* self) {
    return run_rule(self, [](auto& port) { return core::new_session_procedure(port); });
}

bool calculate_master_size_bytes_method(PyObject* self) {
    return with_port(self, false, [](auto& port) { return port.set_master_parameter_sizes(); });
}

bool clear_slave_parameters_method(PyObject* self) {
    return with_port(self, false, [](auto& port) { return port.clear_slave_parameters(); });
}

bool map_node_method(PyObject* self, PyObject* node) {
    return static_cast<bool>(state_context(self)) && ports::map_parameters(node);
}

using binding::method;
using binding::param;

using reset_methods =
    binding::methods<method<"_reset_handler", "", reset_handler_method, param<"error", binding::any_object>>>;
using session_methods = binding::methods<noargs_method<"_reset_session", "", reset_session_method>>;
using parameter_methods = binding::methods<
    noargs_method<"_StateParameter__calculate_master_size_bytes", "", calculate_master_size_bytes_method>,
    noargs_method<"_StateParameter__clear_slave_parameters", "", clear_slave_parameters_method>,
    method<"_StateParameter__map_node", "", map_node_method, param<"node", binding::any_object>>>;

PyMethodDef* extra_methods(StateId id) {
    switch (id) {
        case StateId::reset: return reset_methods::table;
        case StateId::session: return session_methods::table;
        case StateId::parameter: return parameter_methods::table;
        case StateId::connection:
        case StateId::data: break;
    }
    return nullptr;
}

// The action methods of the transitions state `S` owns.
template <int S, std::size_t... T>
void add_action_methods(std::vector<PyMethodDef>& methods, std::index_sequence<T...>) {
    ((core::transitions[T].owner == StateId(S)
          ? methods.push_back(noargs_method<binding::text_of<action_cnames[T]>, "", action_method<T>>::entry())
          : void()),
     ...);
}

template <int S>
std::vector<PyMethodDef> class_methods() {
    std::vector<PyMethodDef> methods = {
        noargs_method<"_process_frame_received_event", "", frame_received_method<S>>::entry(),
        noargs_method<"_process_watchdog_expired_event", "", watchdog_expired_method<S>>::entry(),
        noargs_method<"_process_reset_connection_event", "", reset_connection_method<S>>::entry(),
    };
    // StateConnection has no map_frame of its own: SESSION_OK prepares its requests.
    if (StateId(S) != StateId::connection)
        methods.push_back(noargs_method<"map_frame", "", map_frame_method<S>>::entry());
    for (PyMethodDef* extra = extra_methods(StateId(S)); extra && extra->ml_name; ++extra) methods.push_back(*extra);
    add_action_methods<S>(methods, std::make_index_sequence<core::transition_count>());
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

constexpr unsigned long class_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

struct ClassSpec {
    const char* name;
    std::vector<PyMethodDef> (*methods)();
};

const ClassSpec class_specs[state_count] = {
    {"tamsel.tamsel.StateReset", class_methods<0>},      {"tamsel.tamsel.StateSession", class_methods<1>},
    {"tamsel.tamsel.StateConnection", class_methods<2>}, {"tamsel.tamsel.StateParameter", class_methods<3>},
    {"tamsel.tamsel.StateData", class_methods<4>},
};

PyType_Slot common_slots(int id, void* pfunc) { return {id, pfunc}; }

}  // namespace

int create_state_classes(PyObject* module) {
    binding::ModuleState& st = binding::state();

    static PyType_Slot base_slots[] = {
        common_slots(Py_tp_doc, const_cast<char*>(state_constructor::doc<"State", "FSoE State">.data())),
        common_slots(Py_tp_init, reinterpret_cast<void*>(state_constructor::init)),
        common_slots(Py_tp_traverse, reinterpret_cast<void*>(state_traverse)),
        common_slots(Py_tp_clear, reinterpret_cast<void*>(state_clear)),
        common_slots(Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)),
        common_slots(Py_tp_members, state_fields::members),
        common_slots(Py_tp_getset, state_fields::getset),
        common_slots(Py_tp_methods, base_methods()),
        {0, nullptr},
    };
    static PyType_Spec base_spec = {"tamsel.tamsel.State", sizeof(StateObject), 0, class_flags, base_slots};
    if (!binding::add_type(module, &base_spec, nullptr, st.State)) return -1;
    Ref abstract = Ref::steal(abstract_names());
    if (!abstract || PyObject_SetAttr(st.State.get(), binding::names().__abstractmethods__, abstract.get()) < 0)
        return -1;

    static std::vector<PyMethodDef> method_tables[state_count];
    static std::vector<PyType_Slot> slot_tables[state_count];
    static PyType_Spec specs[state_count];
    for (int id = 0; id < state_count; ++id) {
        method_tables[id] = class_specs[id].methods();
        slot_tables[id] = {
            common_slots(Py_tp_traverse, reinterpret_cast<void*>(state_traverse)),
            common_slots(Py_tp_clear, reinterpret_cast<void*>(state_clear)),
            common_slots(Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)),
            common_slots(Py_tp_methods, method_tables[id].data()),
            {0, nullptr},
        };
        specs[id] = {class_specs[id].name, sizeof(StateObject), 0, class_flags, slot_tables[id].data()};
        if (!binding::add_type(module, &specs[id], st.State.get(), st.*class_slot(StateId(id)))) return -1;
        Ref id_value = Ref::steal(PyLong_FromLong(id));
        if (!id_value || PyObject_SetAttrString((st.*class_slot(StateId(id))).get(), "id", id_value.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace tamsel::states

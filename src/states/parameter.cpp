// StateParameter: sends the communication and application parameters and checks the echo.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "states/echo_state.hpp"
#include "states/parameter.hpp"
#include "states/procedures.hpp"

namespace tamsel::states {

namespace {

// A private operation of StateParameter on `self`: in C++ unless a host subclass defines it.
bool own(PyObject* self) { return !self || own_state_id(self) == static_cast<int>(StateId::parameter); }

bool call_private(PyObject* self, PyObject* method, PyObject* arg = nullptr) {
    return Ref::steal(arg ? PyObject_CallMethodOneArg(self, method, arg) : PyObject_CallMethodNoArgs(self, method))
        .get();
}

bool map_node(PyObject* self, Context& ctx, Side side) {
    Ref node = ctx.node(side);
    if (!node) return false;
    if (own(self)) return ctx.map_parameters(node.get());
    return call_private(self, binding::names()._StateParameter__map_node, node.get());
}

constexpr EchoTransitions transitions = {
    Command::parameter,     Transition::para_fail5,           Transition::para_fail3, Transition::para_fail2,
    Transition::para_fail1, Transition::para_stay1,           Transition::para_ok,    Transition::para_reset1,
    Transition::para_fail4, Message::parameter_data_mismatch,
};

PyObject* frame_received(PyObject* self, Context& ctx) { return echo_frame_received(self, ctx, transitions); }

// PARA_OK: nothing to prepare, the Data state fills every request itself.
PyObject* perform(PyObject*, Context& ctx, Transition t) {
    if (!log_transition(t) || !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, true) ||
        !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::data);
}

bool calculate_master_size_bytes_method(PyObject* self) {
    Ref context = state_context(self);
    return context && Context(std::move(context)).set_master_parameter_sizes();
}

bool clear_slave_parameters_method(PyObject* self) {
    Ref context = state_context(self);
    return context && Context(std::move(context)).clear_slave_parameters();
}

bool map_node_method(PyObject* self, PyObject* node) {
    Ref context = state_context(self);
    return context && Context(std::move(context)).map_parameters(node);
}

using extra_methods = binding::methods<
    binding::noargs_method<"_StateParameter__calculate_master_size_bytes", "", calculate_master_size_bytes_method>,
    binding::noargs_method<"_StateParameter__clear_slave_parameters", "", clear_slave_parameters_method>,
    binding::method<"_StateParameter__map_node", "", map_node_method, binding::param<"node", binding::any_object>>>;

}  // namespace

int parameter_map_frame(PyObject* self, Context& ctx) {
    if (!ctx.set_master_command(Command::parameter)) return -1;
    bool ok = own(self) ? ctx.set_master_parameter_sizes() && ctx.clear_slave_parameters()
                        : call_private(self, binding::names()._StateParameter__calculate_master_size_bytes) &&
                              call_private(self, binding::names()._StateParameter__clear_slave_parameters);
    return ok && map_node(self, ctx, Side::master) && map_node(self, ctx, Side::slave) ? 0 : -1;
}

const Behaviour parameter_behaviour = {frame_received,          perform,
                                       parameter_map_frame,     Transition::para_wd,
                                       Transition::para_reset2, extra_methods::table};

}  // namespace tamsel::states

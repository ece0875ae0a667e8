// StateParameter: sends the communication and application parameters and checks the echo.
#include "binding/args.hpp"
#include "states/names.hpp"
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
    return call_private(self, names::_StateParameter__map_node, node.get());
}

PyObject* frame_received(PyObject* self, Context& ctx) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    if (command == Command::invalid)
        return report_and_run(self, ctx, Transition::para_fail5, message_text(Message::invalid_command));
    if (command == Command::parameter) {
        Ref message;
        int id_matches = ctx.connection_id_matches(message);
        if (id_matches < 0) return nullptr;
        if (!id_matches) return report_and_run(self, ctx, Transition::para_fail3, message.get());
        int echo_correct = ctx.slave_echo_correct();
        if (echo_correct < 0) return nullptr;
        if (!echo_correct)
            return report_and_run(self, ctx, Transition::para_fail2, message_text(Message::parameter_data_mismatch));
        int crcs_good = check_received_crcs(self, ctx);
        if (crcs_good < 0) return nullptr;
        if (!crcs_good) return report_and_run(self, ctx, Transition::para_fail1, message_text(Message::invalid_crc));
        int pending = ctx.dynamic_map_pending();
        if (pending < 0) return nullptr;
        return run_action(self, ctx, pending ? Transition::para_stay1 : Transition::para_ok);
    }
    if (command == Command::reset) {
        Ref message = ctx.slave_reset_message();
        return message ? report_and_run(self, ctx, Transition::para_reset1, message.get()) : nullptr;
    }
    return report_and_run(self, ctx, Transition::para_fail4, message_text(Message::invalid_command));
}

// PARA_OK: nothing to prepare, the Data state fills every request itself.
PyObject* advance(Context& ctx) {
    if (!log_transition(Transition::para_ok) || !ctx.set_flag(names::_generate_crcs_cyclic_for_next_frame, true) ||
        !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::data);
}

PyObject* perform(PyObject*, Context& ctx, Transition t) {
    switch (t) {
        case Transition::para_ok: return advance(ctx);
        case Transition::para_stay1: return stay_action(ctx, t, StateId::parameter);
        case Transition::para_reset1: return new_session_action(ctx, t);
        case Transition::para_fail1: return fault_action(ctx, t, ErrorCode::invalid_crc);
        case Transition::para_fail2: return fault_action(ctx, t, ErrorCode::invalid_data);
        case Transition::para_fail3: return fault_action(ctx, t, ErrorCode::invalid_connid);
        case Transition::para_fail4: return fault_action(ctx, t, ErrorCode::invalid_cmd);
        case Transition::para_fail5: return fault_action(ctx, t, ErrorCode::unknown_cmd);
        case Transition::para_wd: return fault_action(ctx, t, ErrorCode::wd_expired);
        case Transition::para_reset2: return fault_action(ctx, t, ErrorCode::reset);
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "transition of another state");
    return nullptr;
}

PyObject* none_or_null(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

PyObject* calculate_master_size_bytes_method(PyObject* self, PyObject*) {
    Ref context = state_context(self);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return none_or_null(ctx.set_master_parameter_sizes());
}

PyObject* clear_slave_parameters_method(PyObject* self, PyObject*) {
    Ref context = state_context(self);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return none_or_null(ctx.clear_slave_parameters());
}

PyObject* map_node_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* node = nullptr;
    if (!binding::parse_fastcall("__map_node", args, nargs, kwnames, {"node"}, 1, &node)) return nullptr;
    Ref context = state_context(self);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return none_or_null(ctx.map_parameters(node));
}

PyMethodDef extra_methods[] = {
    {"_StateParameter__calculate_master_size_bytes", calculate_master_size_bytes_method, METH_NOARGS, nullptr},
    {"_StateParameter__clear_slave_parameters", clear_slave_parameters_method, METH_NOARGS, nullptr},
    {"_StateParameter__map_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_node_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int parameter_map_frame(PyObject* self, Context& ctx) {
    if (!ctx.set_master_command(Command::parameter)) return -1;
    bool ok = own(self) ? ctx.set_master_parameter_sizes() && ctx.clear_slave_parameters()
                        : call_private(self, names::_StateParameter__calculate_master_size_bytes) &&
                              call_private(self, names::_StateParameter__clear_slave_parameters);
    return ok && map_node(self, ctx, Side::master) && map_node(self, ctx, Side::slave) ? 0 : -1;
}

const Behaviour parameter_behaviour = {frame_received,         perform, parameter_map_frame, Transition::para_wd,
                                       Transition::para_reset2, extra_methods};

}  // namespace tamsel::states

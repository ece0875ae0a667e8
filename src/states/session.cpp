// StateSession: sends the master's session id; owns the new-session procedure.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "states/procedures.hpp"

namespace tamsel::states {

namespace {

PyObject* frame_received(PyObject* self, Context& ctx) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    if (command == Command::invalid)
        return report_and_run(self, ctx, Transition::session_fail4, message_text(Message::invalid_command));
    if (command == Command::session) {
        int crcs_good = check_received_crcs(self, ctx);
        if (crcs_good < 0) return nullptr;
        if (crcs_good) {
            int pending = ctx.dynamic_map_pending();
            if (pending < 0) return nullptr;
            return run_action(self, ctx, pending ? Transition::session_stay1 : Transition::session_ok);
        }
        int second_frame_sent = ctx.get_flag(binding::names()._second_session_frame_sent);
        if (second_frame_sent < 0) return nullptr;
        return report_and_run(self, ctx, second_frame_sent ? Transition::session_fail1 : Transition::session_stay2,
                              message_text(Message::invalid_crc));
    }
    if (command == Command::reset) return report_slave_reset(self, ctx, Transition::session_reset1);
    return report_and_run(self, ctx, Transition::session_fail3, message_text(Message::invalid_command));
}

// SESSION_OK: the first Connection request, with the slave's echo to be received in the
// slave's session fields.
PyObject* advance(Context& ctx) {
    if (!log_transition(Transition::session_ok) || !ctx.set_master_command(Command::connection) ||
        !ctx.clear_dynamic_map(Side::master) || !ctx.clear_dynamic_map(Side::slave))
        return nullptr;
    for (Side side : {Side::master, Side::slave})
        if (!ctx.add_session_item(side, binding::names().connection_id) ||
            !ctx.add_session_item(side, binding::names().slave_address))
            return nullptr;
    if (!ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, true) || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::connection);
}

PyObject* slave_reset(PyObject* self, Context& ctx) {
    if (!log_transition(Transition::session_reset1) ||
        !ctx.set_flag(binding::names()._reset_slave_sequence_number_after_frame, true))
        return nullptr;
    if (own_state_id(self) == static_cast<int>(StateId::session)) return new_session_procedure(ctx);
    return PyObject_CallMethodNoArgs(self, binding::names()._reset_session);
}

PyObject* perform(PyObject* self, Context& ctx, Transition t) {
    switch (t) {
        case Transition::session_ok: return advance(ctx);
        case Transition::session_stay1:
            if (!log_transition(t) || !ctx.set_flag(binding::names()._second_session_frame_sent, true) ||
                !ctx.activate_watchdog())
                return nullptr;
            return class_ref(StateId::session);
        case Transition::session_reset1: return slave_reset(self, ctx);
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "transition of another state");
    return nullptr;
}

int map_frame(PyObject*, Context& ctx) { return session_map_frame(ctx); }

PyObject* reset_session_method(PyObject* self) {
    Ref context = state_context(self);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return new_session_procedure(ctx);
}

using extra_methods = binding::methods<binding::noargs_method<"_reset_session", "", reset_session_method>>;

}  // namespace

const Behaviour session_behaviour = {
    frame_received, perform, map_frame, Transition::session_wd, Transition::session_reset2, extra_methods::table};

}  // namespace tamsel::states

// StateConnection: sends the connection id and slave address and checks the slave's echo.
#include "states/names.hpp"
#include "states/parameter.hpp"
#include "states/procedures.hpp"

namespace tamsel::states {

namespace {

PyObject* frame_received(PyObject* self, Context& ctx) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    if (command == Command::invalid)
        return report_and_run(self, ctx, Transition::conn_fail5, message_text(Message::invalid_command));
    if (command == Command::connection) {
        Ref message;
        int id_matches = ctx.connection_id_matches(message);
        if (id_matches < 0) return nullptr;
        if (!id_matches) return report_and_run(self, ctx, Transition::conn_fail3, message.get());
        int echo_correct = ctx.slave_echo_correct();
        if (echo_correct < 0) return nullptr;
        if (!echo_correct)
            return report_and_run(self, ctx, Transition::conn_fail2, message_text(Message::session_data_mismatch));
        int crcs_good = check_received_crcs(self, ctx);
        if (crcs_good < 0) return nullptr;
        if (!crcs_good) return report_and_run(self, ctx, Transition::conn_fail1, message_text(Message::invalid_crc));
        int pending = ctx.dynamic_map_pending();
        if (pending < 0) return nullptr;
        return run_action(self, ctx, pending ? Transition::conn_stay1 : Transition::conn_ok);
    }
    if (command == Command::reset) {
        Ref message = ctx.slave_reset_message();
        return message ? report_and_run(self, ctx, Transition::conn_reset1, message.get()) : nullptr;
    }
    return report_and_run(self, ctx, Transition::conn_fail4, message_text(Message::invalid_command));
}

// CONN_OK: the parameter transfer is prepared by a temporary StateParameter.
PyObject* advance(Context& ctx) {
    if (!log_transition(Transition::conn_ok) || parameter_map_frame(nullptr, ctx) < 0 ||
        !ctx.set_flag(names::_generate_crcs_cyclic_for_next_frame, true) || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::parameter);
}

PyObject* perform(PyObject*, Context& ctx, Transition t) {
    switch (t) {
        case Transition::conn_ok: return advance(ctx);
        case Transition::conn_stay1: return stay_action(ctx, t, StateId::connection);
        case Transition::conn_reset1: return new_session_action(ctx, t);
        case Transition::conn_fail1: return fault_action(ctx, t, ErrorCode::invalid_crc);
        case Transition::conn_fail2: return fault_action(ctx, t, ErrorCode::invalid_data);
        case Transition::conn_fail3: return fault_action(ctx, t, ErrorCode::invalid_connid);
        case Transition::conn_fail4: return fault_action(ctx, t, ErrorCode::invalid_cmd);
        case Transition::conn_fail5: return fault_action(ctx, t, ErrorCode::unknown_cmd);
        case Transition::conn_wd: return fault_action(ctx, t, ErrorCode::wd_expired);
        case Transition::conn_reset2: return fault_action(ctx, t, ErrorCode::reset);
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "transition of another state");
    return nullptr;
}

}  // namespace

const Behaviour connection_behaviour = {frame_received,         perform, nullptr, Transition::conn_wd,
                                        Transition::conn_reset2, nullptr};

}  // namespace tamsel::states

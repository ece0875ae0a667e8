// StateReset: waits for the slave's Reset frame; owns the reset procedure.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "states/procedures.hpp"

namespace tamsel::states {

namespace {

PyObject* frame_received(PyObject* self, Context& ctx) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    if (command == Command::reset) return run_action(self, ctx, Transition::reset_ok);
    return report_and_run(self, ctx, Transition::reset_stay1, message_text(Message::invalid_command));
}

// RESET_OK and RESET_WD: a new session id and the first Session request.
PyObject* open_session(Context& ctx, Transition t) {
    if (!log_transition(t) || !ctx.create_session_id() || session_map_frame(ctx) < 0 ||
        !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, false) || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::session);
}

// The start of RESET_STAY1 and RESET_START: fresh frames, fail-safe data, error code RESET.
bool restart(Context& ctx) {
    return restart_frames(ctx) && ctx.set_data_command_failsafe() && ctx.set_master_error(ErrorCode::reset);
}

PyObject* stay(PyObject* self, Context& ctx) {
    if (!log_transition(Transition::reset_stay1) || !restart(ctx) || call_map_frame(self, ctx, StateId::reset) < 0 ||
        !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, false) ||
        !ctx.set_sequence_number(Side::master, 1))
        return nullptr;
    return class_ref(StateId::reset);
}

PyObject* start(Context& ctx) {
    if (!log_transition(Transition::reset_start) || !restart(ctx) || reset_map_frame(ctx) < 0 ||
        !ctx.set_sequence_number(Side::master, 1) || !ctx.activate_watchdog() ||
        !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, false))
        return nullptr;
    return class_ref(StateId::reset);
}

PyObject* perform(PyObject* self, Context& ctx, Transition t) {
    switch (t) {
        case Transition::reset_ok:
        case Transition::reset_wd: return open_session(ctx, t);
        case Transition::reset_stay1: return stay(self, ctx);
        case Transition::reset_start: return start(ctx);
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "transition of another state");
    return nullptr;
}

int map_frame(PyObject*, Context& ctx) { return reset_map_frame(ctx); }

PyObject* reset_handler_method(PyObject* self, PyObject* error) {
    Ref context = state_context(self);
    if (!context) return nullptr;
    Context ctx(std::move(context));
    return reset_procedure(self, ctx, error);
}

using extra_methods = binding::methods<
    binding::method<"_reset_handler", "", reset_handler_method, binding::param<"error", binding::any_object>>>;

}  // namespace

const Behaviour reset_behaviour = {
    frame_received, perform, map_frame, Transition::reset_wd, Transition::reset_start, extra_methods::table};

}  // namespace tamsel::states

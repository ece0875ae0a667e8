#include "states/procedures.hpp"
#include "binding/module_state.hpp"

namespace tamsel::states {

namespace {

// Steps shared by both procedures: fresh frames, and the next slave frame expected with
// sequence number 1 whatever the handler does with the sequence number after the event.
bool restart_sequence(Context& ctx) {
    return restart_frames(ctx) && ctx.set_flag(binding::names()._reset_slave_sequence_number_after_frame, true);
}

int prepare_request(Context& ctx, Command command, PyObject* master_item) {
    bool ok = ctx.set_master_command(command) && ctx.clear_dynamic_map(Side::master) &&
              ctx.clear_dynamic_map(Side::slave) && ctx.add_session_item(Side::master, master_item);
    return ok ? 0 : -1;
}

}  // namespace

bool restart_frames(Context& ctx) {
    return ctx.set_crc0(Side::master, 0) && ctx.set_crc0(Side::slave, 0) && ctx.set_sequence_number(Side::master, 1) &&
           ctx.set_sequence_number(Side::slave, 1);
}

int reset_map_frame(Context& ctx) { return prepare_request(ctx, Command::reset, binding::names().error_id); }

int session_map_frame(Context& ctx) { return prepare_request(ctx, Command::session, binding::names().session_id); }

PyObject* reset_procedure(PyObject* self, Context& ctx, PyObject* error) {
    if (!restart_sequence(ctx) || !ctx.set_data_command_failsafe() || !ctx.set_inputs_to_failsafe()) return nullptr;
    if (!ctx.set_master_error(error)) return nullptr;
    int mapped = self ? call_map_frame(self, ctx, StateId::reset) : reset_map_frame(ctx);
    if (mapped < 0) return nullptr;
    if (!ctx.clear_master_last_crc0() || !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, false) ||
        !ctx.set_sequence_number(Side::master, 1) || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::reset);
}

PyObject* new_session_procedure(Context& ctx) {
    if (!restart_sequence(ctx) || !ctx.set_data_command_failsafe() || !ctx.set_inputs_to_failsafe() ||
        !ctx.create_session_id() || session_map_frame(ctx) < 0 || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::session);
}

PyObject* report_slave_reset(PyObject* self, Context& ctx, Transition t) {
    Ref message = ctx.slave_reset_message();
    return message ? report_and_run(self, ctx, t, message.get()) : nullptr;
}

namespace {

// Logs `t`, then runs the reset procedure with `code` on a temporary StateReset.
PyObject* fault_action(Context& ctx, Transition t, ErrorCode code) {
    if (!log_transition(t)) return nullptr;
    Ref error = Ref::steal(base_error(code));
    if (!error) return nullptr;
    return reset_procedure(nullptr, ctx, error.get());
}

// Logs `t`, then runs the new-session procedure on a temporary StateSession.
PyObject* new_session_action(Context& ctx, Transition t) {
    if (!log_transition(t)) return nullptr;
    return new_session_procedure(ctx);
}

// Logs `t`, restarts the watchdog and stays in `own`.
PyObject* stay_action(Context& ctx, Transition t, StateId own) {
    if (!log_transition(t) || !ctx.activate_watchdog()) return nullptr;
    return class_ref(own);
}

}  // namespace

PyObject* perform_action(PyObject* self, Context& ctx, Transition t) {
    int index = static_cast<int>(t);
    auto owner = static_cast<StateId>(transition_owner[index]);
    switch (action_kind[index]) {
        case ActionKind::stay: return stay_action(ctx, t, owner);
        case ActionKind::fault: return fault_action(ctx, t, action_error[index]);
        case ActionKind::new_session: return new_session_action(ctx, t);
        case ActionKind::own: break;
    }
    return behaviour(owner).perform(self, ctx, t);
}

}  // namespace tamsel::states

#include "states/procedures.hpp"

#include "states/names.hpp"

namespace tamsel::states {

namespace {

// Steps shared by both procedures: fresh CRC_0 and sequence numbers on both frames, and the
// next slave frame expected with sequence number 1 whatever the handler does after the event.
bool restart_sequence(Context& ctx) {
    return ctx.set_crc0(Side::master, 0) && ctx.set_crc0(Side::slave, 0) && ctx.set_sequence_number(Side::master, 1) &&
           ctx.set_sequence_number(Side::slave, 1) &&
           ctx.set_flag(names::_reset_slave_sequence_number_after_frame, true);
}

int prepare_request(Context& ctx, Command command, PyObject* master_item) {
    bool ok = ctx.set_master_command(command) && ctx.clear_dynamic_map(Side::master) &&
              ctx.clear_dynamic_map(Side::slave) && ctx.add_session_item(Side::master, master_item);
    return ok ? 0 : -1;
}

}  // namespace

int reset_map_frame(Context& ctx) { return prepare_request(ctx, Command::reset, names::error_id); }

int session_map_frame(Context& ctx) { return prepare_request(ctx, Command::session, names::session_id); }

PyObject* reset_procedure(PyObject* self, Context& ctx, PyObject* error) {
    if (!restart_sequence(ctx) || !ctx.set_data_command_failsafe() || !ctx.set_inputs_to_failsafe()) return nullptr;
    if (!ctx.set_master_error(error)) return nullptr;
    int mapped = self ? call_map_frame(self, ctx, StateId::reset) : reset_map_frame(ctx);
    if (mapped < 0) return nullptr;
    if (!ctx.clear_master_last_crc0() || !ctx.set_flag(names::_generate_crcs_cyclic_for_next_frame, false) ||
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

PyObject* fault_action(Context& ctx, Transition t, ErrorCode code) {
    if (!log_transition(t)) return nullptr;
    Ref error = Ref::steal(base_error(code));
    if (!error) return nullptr;
    return reset_procedure(nullptr, ctx, error.get());
}

PyObject* new_session_action(Context& ctx, Transition t) {
    if (!log_transition(t)) return nullptr;
    return new_session_procedure(ctx);
}

PyObject* stay_action(Context& ctx, Transition t, StateId own) {
    if (!log_transition(t) || !ctx.activate_watchdog()) return nullptr;
    return class_ref(own);
}

}  // namespace tamsel::states

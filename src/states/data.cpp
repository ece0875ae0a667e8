// StateData: exchanges safe outputs and inputs every cycle.
#include "states/procedures.hpp"
#include "binding/module_state.hpp"

namespace tamsel::states {

namespace {

PyObject* frame_received(PyObject* self, Context& ctx) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    switch (command) {
        case Command::invalid:
            return report_and_run(self, ctx, Transition::data_fail4, message_text(Message::invalid_command));
        case Command::process_data:
        case Command::failsafe_data: break;
        case Command::reset: return report_slave_reset(self, ctx, Transition::data_reset1);
        default: return report_and_run(self, ctx, Transition::data_fail3, message_text(Message::invalid_command));
    }
    Ref message;
    int id_matches = ctx.connection_id_matches(message);
    if (id_matches < 0) return nullptr;
    if (!id_matches) return report_and_run(self, ctx, Transition::data_fail2, message.get());
    int crcs_good = check_received_crcs(self, ctx);
    if (crcs_good < 0) return nullptr;
    if (!crcs_good) return report_and_run(self, ctx, Transition::data_fail1, message_text(Message::invalid_crc));
    return run_action(self, ctx, command == Command::process_data ? Transition::data_ok1 : Transition::data_ok2);
}

// DATA_OK1 takes the inputs from the frame, DATA_OK2 puts them to their fail-safe values.
PyObject* accept(Context& ctx, Transition t) {
    if (!log_transition(t)) return nullptr;
    bool inputs_set = t == Transition::data_ok1 ? ctx.read_slave_inputs() : ctx.set_inputs_to_failsafe();
    if (!inputs_set || !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, true) ||
        !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::data);
}

PyObject* perform(PyObject*, Context& ctx, Transition t) { return accept(ctx, t); }

int map_frame(PyObject*, Context& ctx) { return ctx.map_master_outputs() ? 0 : -1; }

}  // namespace

const Behaviour data_behaviour = {frame_received,          perform, map_frame, Transition::data_wd,
                                  Transition::data_reset2, nullptr};

}  // namespace tamsel::states

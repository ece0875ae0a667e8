#include "states/echo_state.hpp"

#include "states/procedures.hpp"

namespace tamsel::states {

PyObject* echo_frame_received(PyObject* self, Context& ctx, const EchoTransitions& t) {
    Command command;
    if (!ctx.slave_command(command)) return nullptr;
    if (command == Command::invalid)
        return report_and_run(self, ctx, t.unknown_command, message_text(Message::invalid_command));
    if (command == Command::reset) return report_slave_reset(self, ctx, t.slave_reset);
    if (command != t.command) return report_and_run(self, ctx, t.wrong_command, message_text(Message::invalid_command));
    // Connection id first, then the echo received so far, then the CRCs.
    Ref message;
    int id_matches = ctx.connection_id_matches(message);
    if (id_matches < 0) return nullptr;
    if (!id_matches) return report_and_run(self, ctx, t.wrong_connection_id, message.get());
    int echo_correct = ctx.slave_echo_correct();
    if (echo_correct < 0) return nullptr;
    if (!echo_correct) return report_and_run(self, ctx, t.wrong_echo, message_text(t.echo_mismatch));
    int crcs_good = check_received_crcs(self, ctx);
    if (crcs_good < 0) return nullptr;
    if (!crcs_good) return report_and_run(self, ctx, t.bad_crc, message_text(Message::invalid_crc));
    int pending = ctx.dynamic_map_pending();
    if (pending < 0) return nullptr;
    return run_action(self, ctx, pending ? t.stay : t.advance);
}

}  // namespace tamsel::states

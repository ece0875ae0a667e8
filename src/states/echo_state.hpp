#pragma once
// The frame-received tests shared by the Connection and Parameter states, whose slave echoes
// the data the master streams.
#include "states/base.hpp"

namespace tamsel::states {

struct EchoTransitions {
    Command command;  // the command of this state's frames
    Transition unknown_command, wrong_connection_id, wrong_echo, bad_crc, stay, advance, slave_reset, wrong_command;
    Message echo_mismatch;
};

PyObject* echo_frame_received(PyObject* self, Context& ctx, const EchoTransitions& t);

}  // namespace tamsel::states

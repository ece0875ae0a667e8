#pragma once
// The frame codes of the commands the rules tell apart.
#include <cstdint>

#include "core/protocol.hpp"
#include "frame/control.hpp"

namespace tamsel::core {

// The frame code of a command (0 for `invalid` and `other`, which have none).
constexpr uint16_t command_code(Command command) {
    switch (command) {
        case Command::reset: return frame::command::reset;
        case Command::session: return frame::command::session;
        case Command::connection: return frame::command::connection;
        case Command::parameter: return frame::command::parameter;
        case Command::process_data: return frame::command::process_data;
        case Command::failsafe_data: return frame::command::failsafe_data;
        case Command::invalid:
        case Command::other: break;
    }
    return 0;
}

// The command of a frame code; a code of no command is `invalid`.
constexpr Command classify(uint16_t code) {
    for (Command c : {Command::reset, Command::session, Command::connection, Command::parameter, Command::process_data,
                      Command::failsafe_data})
        if (command_code(c) == code) return c;
    return Command::invalid;
}

}  // namespace tamsel::core

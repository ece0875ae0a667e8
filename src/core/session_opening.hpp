#pragma once
// The slave Reset frame that opened the master's current session.
//
// On a bus the slave's process image stays until the slave writes another, and with latency a
// frame of the old session can arrive between two copies of the same Reset frame. The second
// copy is the reset the master already answered, not a new one: while no valid Session frame of
// the slave has come (the second-session-frame flag is still clear), the master takes it as it
// takes an unchanged reply. Otherwise every such copy would open one more session, whose answer
// arrives after the next copy, and the two would chase each other for ever.
#include <algorithm>
#include <cstdint>
#include <span>

#include "frame/control.hpp"

namespace tamsel::core::session_opening {

using Bytes = std::span<const uint8_t>;

// Whether `reply` is to be taken as unchanged: a copy of `opening` (the remembered frame, if
// `remembered`) while in Session before the slave's first valid Session frame.
constexpr bool repeats(bool remembered, Bytes opening, Bytes reply, bool second_session_frame_sent, bool in_session) {
    return remembered && !second_session_frame_sent && std::ranges::equal(opening, reply) && in_session;
}

// A frame the slave sends to reset the connection (or to acknowledge a reset).
constexpr bool is_reset_frame(Bytes reply) { return !reply.empty() && reply[0] == frame::command::reset; }

enum class Update : uint8_t { keep, remember, forget };

// What becomes of the remembered frame after a processed reply: a Reset frame that left the
// master in Session is remembered; in any other state nothing is.
constexpr Update after_reply(Bytes reply, bool in_session) {
    if (in_session && is_reset_frame(reply)) return Update::remember;
    return in_session ? Update::keep : Update::forget;
}

}  // namespace tamsel::core::session_opening

#pragma once
// The handler's side of a cycle around the state machine: what happens to both frames when a
// request is computed and when a reply is received. Written once, over a cycle port:
//
//   RequestKind request_kind();          // which of Reset, Session, Data the state is (or other)
//   bool fill_request_from_state();      // the state's `map_frame` (Data)
//   bool fill_request_from_dynamic_map();
//   bool stamp_connection_id(bool zero); // 0, or the master session's connection id
//   bool generate_request_crcs(bool cyclic);
//   bool remember_crc0(Side);            // the node's last CRC_0 sent := its frame's CRC_0
//   bool copy_crc0(Side from);           // the other frame's reference CRC_0 := from's CRC_0
//   bool increment_sequence_number(Side);
//   bool parse_reply();                  // the received bytes into the slave frame
//   int slave_command_is_reset();
//   bool receive_dynamic_map();          // the slave's dynamic map takes its part of the frame
//   Next frame_received_event();         // the current state's event
// and from the rules' port: get_flag, set_flag, set_sequence_number, clear_dynamic_map,
// add_session_item.
#include "core/master_port.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <cstddef>

namespace tamsel::core {

enum class RequestKind : uint8_t { reset, session, data, other };

// A reply longer than the longest frame image is cut to it: what lies beyond can belong to no
// frame. Such a reply is oversized and verifies nothing (see verify_received_crcs).
inline constexpr std::size_t longest_reply = frame::MAX_PARSE_LENGTH;
constexpr bool reply_oversized(std::size_t length) { return length > longest_reply; }
constexpr std::size_t parsed_length(std::size_t length) { return std::min(length, longest_reply); }

// Fills and protects the next master frame. The byte image is the port's to build.
template <typename P>
bool compute_request(P& p) {
    const RequestKind kind = p.request_kind();
    if (!(kind == RequestKind::data ? p.fill_request_from_state() : p.fill_request_from_dynamic_map())) return false;
    if (!p.stamp_connection_id(kind == RequestKind::reset || kind == RequestKind::session)) return false;
    const int cyclic = p.get_flag(Flag::generate_crcs_cyclic_for_next_frame);
    if (cyclic < 0 || !p.generate_request_crcs(cyclic) || !p.remember_crc0(Side::master)) return false;
    const int reset_slave_sequence = p.get_flag(Flag::reset_slave_sequence_number_after_frame);
    if (reset_slave_sequence < 0) return false;
    if (reset_slave_sequence &&
        (!p.set_sequence_number(Side::slave, 1) || !p.set_flag(Flag::reset_slave_sequence_number_after_frame, false)))
        return false;
    // In Reset both frames stay keyed as the first frame of a connection.
    if (kind != RequestKind::reset && (!p.copy_crc0(Side::master) || !p.increment_sequence_number(Side::master)))
        return false;
    return true;
}

// Takes a received frame: parses it, runs the current state's event and keeps what the next
// frame is checked against. Returns the state the event leads to.
template <typename P>
typename P::Next process_reply(P& p) {
    const RequestKind kind = p.request_kind();
    if (!p.parse_reply()) return {};
    if (kind != RequestKind::reset && !p.copy_crc0(Side::slave)) return {};
    // A slave reset carries its error code where the dynamic map would expect other data.
    const int reset = p.slave_command_is_reset();
    if (reset < 0) return {};
    if (reset && (!p.clear_dynamic_map(Side::slave) || !p.add_session_item(Side::slave, SessionField::error_id)))
        return {};
    if (!p.receive_dynamic_map()) return {};
    typename P::Next next = p.frame_received_event();
    if (!next) return {};
    if (kind != RequestKind::reset && !p.increment_sequence_number(Side::slave)) return {};
    if (!p.remember_crc0(Side::slave)) return {};
    return next;
}

}  // namespace tamsel::core

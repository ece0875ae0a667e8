#pragma once
// A recorded conversation taken frame by frame through the master's own rules: both frames as
// the handler keeps them, and a port over them whose handler side is inert. Plain C++.
//
// Requests come from the recording: the port fills the master frame from the recorded bytes
// and the rules stamp it (sequence number, CRCs, what is kept for the next reply). Replies
// are judged: the rules run their checks on the frame and the transition they take is
// recorded, not performed; the transition the handler took is performed on its own later,
// once the recording shows it.
#include "core/commands.hpp"
#include "core/master_cycle.hpp"
#include "core/master_rules.hpp"
#include "frame/frame.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tamsel::replay {

// What the handler keeps between frames, as far as the frames show it.
struct Conversation {
    frame::Frame master;
    frame::Frame slave;
    std::optional<uint16_t> master_last;  // CRC_0 of the last frame each side sent
    std::optional<uint16_t> slave_last;
    bool cyclic = false;  // the CRCs of the next request are cyclic
    bool reset_slave_sequence = false;
    bool second_session_frame_sent = false;
};

// A recorded frame and what the replay knows around it.
struct Recorded {
    const uint8_t* data = nullptr;
    std::size_t length = 0;
    std::optional<core::State> state;       // the state that built or took it, if known
    std::optional<uint16_t> connection_id;  // what the master sends, once known
    bool check = false;                     // the conversation so far predicts its CRCs
};

// What the rules made of a frame.
struct Judgement {
    std::optional<core::Transition> taken;  // the transition a reply's checks lead to
    std::optional<bool> crcs_ok;            // set when the CRCs were checked
    frame::CrcWords expected{};             // the CRCs the conversation predicts, when checked
};

class Port {
public:
    using Next = bool;
    struct Text {};  // reports are not composed

    // `judging`: actions are recorded, not performed.
    Port(Conversation& c, const Recorded& r, bool judging) : c_(c), r_(r), judging_(judging) {}

    const Judgement& judgement() const { return judgement_; }

    // ---- frames ----
    Next next(core::State) { return true; }
    bool set_crc0(core::Side s, uint16_t value) { return frame(s).control.crc0 = value, true; }
    bool set_sequence_number(core::Side s, uint16_t value) { return frame(s).control.sequence_number = value, true; }
    bool set_master_command(core::Command command) {
        if (const uint16_t code = core::command_code(command)) c_.master.control.command = code;
        return true;
    }
    bool slave_command(core::Command& out) {
        out = core::classify(c_.slave.control.command);
        return true;
    }
    int connection_id_matches(Text&) {
        if (!r_.connection_id || c_.slave.control.connection_id == *r_.connection_id) return 1;
        // A frame with another id is still shown with what its CRCs are worth.
        judge_crcs();
        return 0;
    }
    bool slave_reset_message(Text&) { return true; }
    int check_received_crcs() { return judge_crcs(); }

    // ---- handler ----
    bool log(core::Transition) { return true; }
    bool report(core::Transition, core::Message) { return true; }
    bool report(core::Transition, const Text&) { return true; }
    bool set_flag(core::Flag f, bool value) { return flag(f) = value, true; }
    int get_flag(core::Flag f) { return flag(f); }
    bool set_data_command_failsafe() { return true; }
    bool activate_watchdog() { return true; }
    bool create_session_id() { return true; }
    int dynamic_map_pending() { return 0; }

    // ---- nodes, sessions, maps: nothing the frames show ----
    bool set_inputs_to_failsafe() { return true; }
    bool set_master_error(core::ErrorCode) { return true; }
    bool clear_dynamic_map(core::Side) { return true; }
    bool add_session_item(core::Side, core::SessionField) { return true; }
    bool clear_master_last_crc0() { return c_.master_last.reset(), true; }
    int slave_echo_correct() { return 1; }
    bool map_master_outputs() { return true; }
    bool read_slave_inputs() { return true; }
    bool set_master_parameter_sizes() { return true; }
    bool clear_slave_parameters() { return true; }
    bool map_parameters(core::Side) { return true; }

    // ---- the state object: the module's own class, unless judging ----
    bool self_is(core::State) { return !judging_; }
    bool self_is_module_class() { return true; }
    Next call_action(core::Transition t) { return judgement_.taken = t, true; }
    Next call_reset_session() { return true; }
    int call_check_received_crcs() { return judge_crcs(); }
    bool call_map_frame() { return true; }
    bool call_calculate_master_size_bytes() { return true; }
    bool call_clear_slave_parameters() { return true; }
    bool call_map_node(core::Side) { return true; }

    // ---- the cycle ----
    core::RequestKind request_kind() const {
        if (!r_.state) return core::RequestKind::other;
        switch (*r_.state) {
            case core::State::reset: return core::RequestKind::reset;
            case core::State::session: return core::RequestKind::session;
            case core::State::data: return core::RequestKind::data;
            default: return core::RequestKind::other;
        }
    }
    // The request is the recorded one: command, safe data, CRCs and connection id as sent.
    bool fill_request_from_state() { return frame::parse_image(c_.master, r_.data, r_.length); }
    bool fill_request_from_dynamic_map() { return fill_request_from_state(); }
    bool stamp_connection_id(bool) { return true; }
    // Predicts the CRCs (stepping the sequence number as the handler does) and keeps the
    // recorded ones in the frame: what the slave answers is keyed by what was sent.
    bool generate_request_crcs(bool cyclic) {
        if (!r_.check || (cyclic && !c_.master_last)) return true;
        const frame::CrcWords sent = c_.master.crcs;
        if (cyclic) frame::generate_crcs_cyclic(c_.master, *c_.master_last);
        else frame::generate_crcs(c_.master);
        judgement_.expected = c_.master.crcs;
        judgement_.crcs_ok = true;
        for (std::size_t i = 0; i < c_.master.slots(); ++i)
            if (sent[i] != c_.master.crcs[i]) judgement_.crcs_ok = false;
        c_.master.crcs = sent;
        return true;
    }
    bool remember_crc0(core::Side s) { return last(s) = frame(s).crcs[0], true; }
    bool copy_crc0(core::Side from) { return frame(other(from)).control.crc0 = frame(from).crcs[0], true; }
    bool increment_sequence_number(core::Side s) { return frame(s).control.increment_sequence_number(), true; }
    bool parse_reply() { return frame::parse_image(c_.slave, r_.data, r_.length); }
    int slave_command_is_reset() { return c_.slave.control.command == frame::command::reset; }
    bool receive_dynamic_map() { return true; }
    Next frame_received_event() { return r_.state ? core::frame_received(*this, *r_.state) : true; }

private:
    static core::Side other(core::Side s) { return s == core::Side::master ? core::Side::slave : core::Side::master; }
    frame::Frame& frame(core::Side s) { return s == core::Side::master ? c_.master : c_.slave; }
    std::optional<uint16_t>& last(core::Side s) { return s == core::Side::master ? c_.master_last : c_.slave_last; }
    bool& flag(core::Flag f) {
        switch (f) {
            case core::Flag::second_session_frame_sent: return c_.second_session_frame_sent;
            case core::Flag::reset_slave_sequence_number_after_frame: return c_.reset_slave_sequence;
            case core::Flag::generate_crcs_cyclic_for_next_frame: break;
        }
        return c_.cyclic;
    }

    // The received CRCs against the slave's last CRC_0, once per frame; 1 when the
    // conversation so far cannot predict them.
    int judge_crcs() {
        if (!r_.check) return 1;
        if (!judgement_.crcs_ok)
            judgement_.crcs_ok = c_.slave_last ? frame::check_crcs_cyclic(c_.slave, *c_.slave_last, judgement_.expected)
                                               : frame::check_crcs(c_.slave, judgement_.expected);
        return *judgement_.crcs_ok;
    }

    Conversation& c_;
    const Recorded& r_;
    bool judging_;
    Judgement judgement_;
};

// Stamps a recorded request; the judgement holds the predicted CRCs when it was checked.
inline Judgement take_request(Conversation& c, const Recorded& r) {
    Port port(c, r, true);
    core::compute_request(port);
    return port.judgement();
}

// Takes a recorded reply: the rules' checks in their order, and what the handler keeps of it.
inline Judgement take_reply(Conversation& c, const Recorded& r) {
    Port port(c, r, true);
    core::process_reply(port);
    return port.judgement();
}

// Performs transition `t` of the state machine on the conversation.
inline void perform(Conversation& c, core::Transition t) {
    const Recorded none;
    Port port(c, none, false);
    core::perform(port, t);
}

}  // namespace tamsel::replay

#pragma once
// The master state machine: for each state, which transition a received frame, a watchdog
// expiry or a host reset takes, and what each transition's action does. Written once, over
// the port interface described in master_port.hpp.
#include "core/master_port.hpp"

namespace tamsel::core {

template <typename P>
using Next = typename P::Next;

// ---- the procedures the actions share ------------------------------------------------------

// Fresh frames: reference CRC_0 0 and sequence number 1 on both sides.
template <typename P>
bool restart_frames(P& p) {
    return p.set_crc0(Side::master, 0) && p.set_crc0(Side::slave, 0) && p.set_sequence_number(Side::master, 1) &&
           p.set_sequence_number(Side::slave, 1);
}

// Fresh frames, and the next slave frame expected with sequence number 1 whatever the
// handler does with the sequence number after the event.
template <typename P>
bool restart_sequence(P& p) {
    return restart_frames(p) && p.set_flag(Flag::reset_slave_sequence_number_after_frame, true);
}

// The request of Reset and Session: the command and one session field of the master.
template <typename P>
bool prepare_request(P& p, Command command, SessionField field) {
    return p.set_master_command(command) && p.clear_dynamic_map(Side::master) && p.clear_dynamic_map(Side::slave) &&
           p.add_session_item(Side::master, field);
}

template <typename P>
bool reset_map_frame(P& p) {
    return prepare_request(p, Command::reset, SessionField::error_id);
}

template <typename P>
bool session_map_frame(P& p) {
    return prepare_request(p, Command::session, SessionField::session_id);
}

// The Parameter request: sizes computed, the slave's echo cleared, both dynamic maps filled.
// `on_self`: the state object is a StateParameter whose private operations a host class may
// have replaced; otherwise a temporary StateParameter does the work.
template <typename P>
bool parameter_map_frame(P& p, bool on_self) {
    if (!p.set_master_command(Command::parameter)) return false;
    const bool own = !on_self || p.self_is(State::parameter);
    const bool ok = own ? p.set_master_parameter_sizes() && p.clear_slave_parameters()
                        : p.call_calculate_master_size_bytes() && p.call_clear_slave_parameters();
    if (!ok) return false;
    for (Side side : {Side::master, Side::slave})
        if (!(own ? p.map_parameters(side) : p.call_map_node(side))) return false;
    return true;
}

// What `map_frame` of a state does; Connection has none (the host class's decides).
template <typename P>
int map_frame(P& p, State state) {
    switch (state) {
        case State::reset: return reset_map_frame(p) ? 0 : -1;
        case State::session: return session_map_frame(p) ? 0 : -1;
        case State::parameter: return parameter_map_frame(p, true) ? 0 : -1;
        case State::data: return p.map_master_outputs() ? 0 : -1;
        case State::connection: break;
    }
    return p.call_map_frame() ? 0 : -1;
}

// The reset procedure with `error` as the master's error code. `on_self`: run on the state
// object itself (a StateReset), whose `map_frame` the host may have replaced.
template <typename P, typename Error>
Next<P> reset_procedure(P& p, const Error& error, bool on_self) {
    if (!restart_sequence(p) || !p.set_data_command_failsafe() || !p.set_inputs_to_failsafe() ||
        !p.set_master_error(error))
        return {};
    const bool mapped = on_self && !p.self_is(State::reset) ? p.call_map_frame() : reset_map_frame(p);
    if (!mapped || !p.clear_master_last_crc0() || !p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, false) ||
        !p.set_sequence_number(Side::master, 1) || !p.activate_watchdog())
        return {};
    return p.next(State::reset);
}

template <typename P>
Next<P> new_session_procedure(P& p) {
    if (!restart_sequence(p) || !p.set_data_command_failsafe() || !p.set_inputs_to_failsafe() ||
        !p.create_session_id() || !session_map_frame(p) || !p.activate_watchdog())
        return {};
    return p.next(State::session);
}

// ---- the actions ---------------------------------------------------------------------------

// RESET_OK and RESET_WD: a new session id and the first Session request.
template <typename P>
Next<P> open_session(P& p, Transition t) {
    if (!p.log(t) || !p.create_session_id() || !session_map_frame(p) ||
        !p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, false) || !p.activate_watchdog())
        return {};
    return p.next(State::session);
}

// The start of RESET_STAY1 and RESET_START: fresh frames, fail-safe data, error code RESET.
template <typename P>
bool restart(P& p) {
    return restart_frames(p) && p.set_data_command_failsafe() && p.set_master_error(ErrorCode::reset);
}

template <typename P>
Next<P> reset_stay(P& p) {
    if (!p.log(Transition::reset_stay1) || !restart(p)) return {};
    const bool mapped = p.self_is(State::reset) ? reset_map_frame(p) : p.call_map_frame();
    if (!mapped || !p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, false) ||
        !p.set_sequence_number(Side::master, 1))
        return {};
    return p.next(State::reset);
}

template <typename P>
Next<P> reset_start(P& p) {
    if (!p.log(Transition::reset_start) || !restart(p) || !reset_map_frame(p) ||
        !p.set_sequence_number(Side::master, 1) || !p.activate_watchdog() ||
        !p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, false))
        return {};
    return p.next(State::reset);
}

// SESSION_OK: the first Connection request, with the slave's echo to be received in the
// slave's session fields.
template <typename P>
Next<P> session_ok(P& p) {
    if (!p.log(Transition::session_ok) || !p.set_master_command(Command::connection) ||
        !p.clear_dynamic_map(Side::master) || !p.clear_dynamic_map(Side::slave))
        return {};
    for (Side side : {Side::master, Side::slave})
        if (!p.add_session_item(side, SessionField::connection_id) ||
            !p.add_session_item(side, SessionField::slave_address))
            return {};
    if (!p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, true) || !p.activate_watchdog()) return {};
    return p.next(State::connection);
}

template <typename P>
Next<P> session_slave_reset(P& p) {
    if (!p.log(Transition::session_reset1) || !p.set_flag(Flag::reset_slave_sequence_number_after_frame, true))
        return {};
    return p.self_is(State::session) ? new_session_procedure(p) : p.call_reset_session();
}

// A transition that keeps its cycle going: logged, the CRCs of the next request cyclic, the
// watchdog restarted. `before` runs between the log and the flag.
template <typename P, typename Before>
Next<P> advance(P& p, Transition t, State next, Before&& before) {
    if (!p.log(t) || !before() || !p.set_flag(Flag::generate_crcs_cyclic_for_next_frame, true) ||
        !p.activate_watchdog())
        return {};
    return p.next(next);
}

// The action of `t`, as the module's class of its state does it.
template <typename P>
Next<P> perform(P& p, Transition t) {
    const TransitionInfo& i = info(t);
    switch (i.kind) {
        case ActionKind::stay:
            if (!p.log(t) || !p.activate_watchdog()) return {};
            return p.next(i.owner);
        case ActionKind::fault:
            if (!p.log(t)) return {};
            return reset_procedure(p, i.error, false);
        case ActionKind::new_session:
            if (!p.log(t)) return {};
            return new_session_procedure(p);
        case ActionKind::own: break;
    }
    switch (t) {
        case Transition::reset_ok:
        case Transition::reset_wd: return open_session(p, t);
        case Transition::reset_stay1: return reset_stay(p);
        case Transition::reset_start: return reset_start(p);
        case Transition::session_ok: return session_ok(p);
        case Transition::session_stay1:
            if (!p.log(t) || !p.set_flag(Flag::second_session_frame_sent, true) || !p.activate_watchdog()) return {};
            return p.next(State::session);
        case Transition::session_reset1: return session_slave_reset(p);
        case Transition::conn_ok:
            // The parameter transfer is prepared by a temporary StateParameter.
            return advance(p, t, State::parameter, [&] { return parameter_map_frame(p, false); });
        case Transition::para_ok: return advance(p, t, State::data, [] { return true; });
        case Transition::data_ok1: return advance(p, t, State::data, [&] { return p.read_slave_inputs(); });
        case Transition::data_ok2: return advance(p, t, State::data, [&] { return p.set_inputs_to_failsafe(); });
        default: break;
    }
    return {};  // every transition is one of the kinds above
}

// Runs `t`'s action: the module's own when the state object is exactly the class that owns
// `t`, otherwise the action method as the host class has it.
template <typename P>
Next<P> run_action(P& p, Transition t) {
    return p.self_is(info(t).owner) ? perform(p, t) : p.call_action(t);
}

template <typename P, typename M>
Next<P> report_and_run(P& p, Transition t, const M& message) {
    if (!p.report(t, message)) return {};
    return run_action(p, t);
}

template <typename P>
Next<P> report_slave_reset(P& p, Transition t) {
    typename P::Text message{};
    if (!p.slave_reset_message(message)) return {};
    return report_and_run(p, t, message);
}

// The CRC check of the received frame as the module's state classes do it. A reply longer than
// any frame image (parsed from its first bytes only) or of another safe-data size than the
// connection's carries nothing verifiable for it; otherwise its CRCs are checked, cyclic
// against the last CRC_0 the slave sent once there is one. A port whose `check_received_crcs`
// is this one gives it the four operations it reads.
template <typename P>
int verify_received_crcs(P& p) {
    if (p.reply_oversized()) return 0;
    const int same_size = p.reply_size_matches();
    if (same_size <= 0) return same_size;
    const int cyclic = p.slave_last_crc0_known();
    if (cyclic < 0) return -1;
    return p.check_slave_crcs(cyclic != 0);
}

// The state's CRC check of the received frame, as its class has it.
template <typename P>
int check_received_crcs(P& p) {
    return p.self_is_module_class() ? p.check_received_crcs() : p.call_check_received_crcs();
}

// ---- the events ----------------------------------------------------------------------------

template <typename P>
Next<P> reset_frame_received(P& p) {
    Command command{};
    if (!p.slave_command(command)) return {};
    if (command == Command::reset) return run_action(p, Transition::reset_ok);
    return report_and_run(p, Transition::reset_stay1, Message::invalid_command);
}

template <typename P>
Next<P> session_frame_received(P& p) {
    Command command{};
    if (!p.slave_command(command)) return {};
    if (command == Command::invalid) return report_and_run(p, Transition::session_fail4, Message::invalid_command);
    if (command == Command::reset) return report_slave_reset(p, Transition::session_reset1);
    if (command != Command::session) return report_and_run(p, Transition::session_fail3, Message::invalid_command);
    const int crcs_good = check_received_crcs(p);
    if (crcs_good < 0) return {};
    if (crcs_good) {
        const int pending = p.dynamic_map_pending();
        if (pending < 0) return {};
        return run_action(p, pending ? Transition::session_stay1 : Transition::session_ok);
    }
    const int second_frame_sent = p.get_flag(Flag::second_session_frame_sent);
    if (second_frame_sent < 0) return {};
    return report_and_run(p, second_frame_sent ? Transition::session_fail1 : Transition::session_stay2,
                          Message::invalid_crc);
}

// Connection and Parameter: the slave echoes what the master sent, a part per frame.
struct EchoRules {
    Command command;  // the one command the state expects
    Transition unknown_command, wrong_connection_id, wrong_echo, bad_crc, stay, advance, slave_reset, wrong_command;
    Message echo_mismatch;
};

inline constexpr EchoRules connection_echo = {
    Command::connection,    Transition::conn_fail5,         Transition::conn_fail3, Transition::conn_fail2,
    Transition::conn_fail1, Transition::conn_stay1,         Transition::conn_ok,    Transition::conn_reset1,
    Transition::conn_fail4, Message::session_data_mismatch,
};

inline constexpr EchoRules parameter_echo = {
    Command::parameter,     Transition::para_fail5,           Transition::para_fail3, Transition::para_fail2,
    Transition::para_fail1, Transition::para_stay1,           Transition::para_ok,    Transition::para_reset1,
    Transition::para_fail4, Message::parameter_data_mismatch,
};

template <typename P>
Next<P> echo_frame_received(P& p, const EchoRules& r) {
    Command command{};
    if (!p.slave_command(command)) return {};
    if (command == Command::invalid) return report_and_run(p, r.unknown_command, Message::invalid_command);
    if (command == Command::reset) return report_slave_reset(p, r.slave_reset);
    if (command != r.command) return report_and_run(p, r.wrong_command, Message::invalid_command);
    // Connection id first, then the echo received so far, then the CRCs.
    typename P::Text mismatch{};
    const int id_matches = p.connection_id_matches(mismatch);
    if (id_matches < 0) return {};
    if (!id_matches) return report_and_run(p, r.wrong_connection_id, mismatch);
    const int echo_correct = p.slave_echo_correct();
    if (echo_correct < 0) return {};
    if (!echo_correct) return report_and_run(p, r.wrong_echo, r.echo_mismatch);
    const int crcs_good = check_received_crcs(p);
    if (crcs_good < 0) return {};
    if (!crcs_good) return report_and_run(p, r.bad_crc, Message::invalid_crc);
    const int pending = p.dynamic_map_pending();
    if (pending < 0) return {};
    return run_action(p, pending ? r.stay : r.advance);
}

template <typename P>
Next<P> data_frame_received(P& p) {
    Command command{};
    if (!p.slave_command(command)) return {};
    switch (command) {
        case Command::invalid: return report_and_run(p, Transition::data_fail4, Message::invalid_command);
        case Command::process_data:
        case Command::failsafe_data: break;
        case Command::reset: return report_slave_reset(p, Transition::data_reset1);
        default: return report_and_run(p, Transition::data_fail3, Message::invalid_command);
    }
    typename P::Text mismatch{};
    const int id_matches = p.connection_id_matches(mismatch);
    if (id_matches < 0) return {};
    if (!id_matches) return report_and_run(p, Transition::data_fail2, mismatch);
    const int crcs_good = check_received_crcs(p);
    if (crcs_good < 0) return {};
    if (!crcs_good) return report_and_run(p, Transition::data_fail1, Message::invalid_crc);
    return run_action(p, command == Command::process_data ? Transition::data_ok1 : Transition::data_ok2);
}

// A frame was received in `state`.
template <typename P>
Next<P> frame_received(P& p, State state) {
    switch (state) {
        case State::reset: return reset_frame_received(p);
        case State::session: return session_frame_received(p);
        case State::connection: return echo_frame_received(p, connection_echo);
        case State::parameter: return echo_frame_received(p, parameter_echo);
        case State::data: return data_frame_received(p);
    }
    return {};
}

// The transition of each state's watchdog expiry and of a host reset.
inline constexpr Transition watchdog_transition[state_count] = {Transition::reset_wd, Transition::session_wd,
                                                                Transition::conn_wd, Transition::para_wd,
                                                                Transition::data_wd};
inline constexpr Transition host_reset_transition[state_count] = {Transition::reset_start, Transition::session_reset2,
                                                                  Transition::conn_reset2, Transition::para_reset2,
                                                                  Transition::data_reset2};

template <typename P>
Next<P> watchdog_expired(P& p, State state) {
    return report_and_run(p, watchdog_transition[static_cast<int>(state)], Message::watchdog_expired);
}

template <typename P>
Next<P> reset_connection(P& p, State state) {
    return run_action(p, host_reset_transition[static_cast<int>(state)]);
}

}  // namespace tamsel::core

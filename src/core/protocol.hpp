#pragma once
// The vocabulary of the master state machine: its states, the named transitions with what
// each action does, the error codes it sends and the texts it reports. Plain C++.
#include <cstdint>

namespace tamsel::core {

enum class State : uint8_t { reset, session, connection, parameter, data };
inline constexpr int state_count = 5;

// The master's own frame and the frame received from the slave.
enum class Side : uint8_t { master, slave };

// The command of a slave frame as the states tell them apart: `invalid` is no command at all,
// `other` a command the state machine has no rule for.
enum class Command : uint8_t { invalid, reset, session, connection, parameter, process_data, failsafe_data, other };

// The handler's flags the rules set and test.
enum class Flag : uint8_t {
    second_session_frame_sent,
    reset_slave_sequence_number_after_frame,
    generate_crcs_cyclic_for_next_frame,
};

// The session fields a state puts into its dynamic map.
enum class SessionField : uint8_t { slave_address, session_id, error_id, connection_id };

// How an action is built: `fault` runs the reset procedure with its error code on a
// temporary StateReset, `new_session` the new-session procedure on a temporary StateSession,
// `stay` restarts the watchdog and keeps the state; `own` actions are the state's own code.
enum class ActionKind : uint8_t { own, stay, fault, new_session };

// Error codes handed to the reset procedure (members of BaseError, by name).
enum class ErrorCode : uint8_t {
    none,
    reset,
    unknown_cmd,
    invalid_cmd,
    invalid_crc,
    invalid_connid,
    invalid_data,
    wd_expired
};

// clang-format off
// X(enumerator, transition name, owning state, action method without the class prefix,
//   action kind, error code of a fault action)
#define TAMSEL_TRANSITIONS(X)                                                                  \
    X(reset_ok, "RESET_OK", reset, "__reset_ok_action", own, none)                             \
    X(reset_stay1, "RESET_STAY1", reset, "__reset_stay1_action", own, none)                    \
    X(reset_wd, "RESET_WD", reset, "__reset_wd_action", own, none)                             \
    X(reset_start, "RESET_START", reset, "__reset_start_action", own, none)                    \
    X(session_ok, "SESSION_OK", session, "__session_ok_action", own, none)                     \
    X(session_fail1, "SESSION_FAIL1", session, "__session_fail1_action", fault, invalid_crc)    \
    X(session_fail3, "SESSION_FAIL3", session, "__session_fail3_action", fault, invalid_cmd)    \
    X(session_fail4, "SESSION_FAIL4", session, "__session_fail4_action", fault, unknown_cmd)    \
    X(session_stay1, "SESSION_STAY1", session, "__session_stay1_action", own, none)            \
    X(session_stay2, "SESSION_STAY2", session, "__session_stay2_action", stay, none)           \
    X(session_reset1, "SESSION_RESET1", session, "__session_reset1_action", own, none)         \
    X(session_reset2, "SESSION_RESET2", session, "__session_reset2_action", fault, reset)      \
    X(session_wd, "SESSION_WD", session, "__session_wd_action", fault, wd_expired)             \
    X(conn_ok, "CONN_OK", connection, "__conn_ok_action", own, none)                           \
    X(conn_fail1, "CONN_FAIL1", connection, "__conn_fail1_action", fault, invalid_crc)         \
    X(conn_fail2, "CONN_FAIL2", connection, "__conn_fail2_action", fault, invalid_data)        \
    X(conn_fail3, "CONN_FAIL3", connection, "__conn_fail3_action", fault, invalid_connid)      \
    X(conn_fail4, "CONN_FAIL4", connection, "__conn_fail4_action", fault, invalid_cmd)         \
    X(conn_fail5, "CONN_FAIL5", connection, "__conn_fail5_action", fault, unknown_cmd)         \
    X(conn_stay1, "CONNECTION_STAY1", connection, "__conn_stay1_action", stay, none)           \
    X(conn_reset1, "CONN_RESET1", connection, "__conn_reset1_action", new_session, none)       \
    X(conn_reset2, "CONN_RESET2", connection, "__conn_reset2_action", fault, reset)            \
    X(conn_wd, "CONN_WD", connection, "__conn_wd_action", fault, wd_expired)                   \
    X(para_ok, "PARA_OK", parameter, "__para_ok_action", own, none)                            \
    X(para_fail1, "PARA_FAIL1", parameter, "__para_fail1_action", fault, invalid_crc)          \
    X(para_fail2, "PARA_FAIL2", parameter, "__para_fail2_action", fault, invalid_data)         \
    X(para_fail3, "PARA_FAIL3", parameter, "__para_fail3_action", fault, invalid_connid)       \
    X(para_fail4, "PARA_FAIL4", parameter, "__para_fail4_action", fault, invalid_cmd)          \
    X(para_fail5, "PARA_FAIL5", parameter, "__para_fail5_action", fault, unknown_cmd)          \
    X(para_stay1, "PARA_STAY1", parameter, "__para_stay1_action", stay, none)                  \
    X(para_reset1, "PARA_RESET1", parameter, "__para_reset1_action", new_session, none)        \
    X(para_reset2, "PARA_RESET2", parameter, "__para_reset2_action", fault, reset)             \
    X(para_wd, "PARA_WD", parameter, "__para_wd_action", fault, wd_expired)                    \
    X(data_ok1, "DATA_OK1", data, "__data_ok1_action", own, none)                              \
    X(data_ok2, "DATA_OK2", data, "__data_ok2_action", own, none)                              \
    X(data_fail1, "DATA_FAIL1", data, "__data_fail1_action", fault, invalid_crc)               \
    X(data_fail2, "DATA_FAIL2", data, "__data_fail2_action", fault, invalid_connid)            \
    X(data_fail3, "DATA_FAIL3", data, "__data_fail3_action", fault, invalid_cmd)               \
    X(data_fail4, "DATA_FAIL4", data, "__data_fail4_action", fault, unknown_cmd)               \
    X(data_reset1, "DATA_RESET1", data, "__data_reset1_action", new_session, none)             \
    X(data_reset2, "DATA_RESET2", data, "__data_reset2_action", fault, reset)                  \
    X(data_wd, "DATA_WD", data, "__data_wd_action", fault, wd_expired)
// clang-format on

enum class Transition : uint8_t {
#define TAMSEL_TRANSITION_ENUM(e, text, owner, action, kind, error) e,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_ENUM)
#undef TAMSEL_TRANSITION_ENUM
};

struct TransitionInfo {
    const char* name;    // as reported and traced, e.g. "RESET_OK"
    const char* action;  // the action method without its class prefix, e.g. "__reset_ok_action"
    State owner;
    ActionKind kind;
    ErrorCode error;  // what a fault action sends
};

inline constexpr TransitionInfo transitions[] = {
#define TAMSEL_TRANSITION_INFO(e, text, owner, action, kind, error) \
    {text, action, State::owner, ActionKind::kind, ErrorCode::error},
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_INFO)
#undef TAMSEL_TRANSITION_INFO
};
inline constexpr int transition_count = sizeof(transitions) / sizeof(transitions[0]);

constexpr const TransitionInfo& info(Transition t) { return transitions[static_cast<int>(t)]; }

// Fixed report texts.
enum class Message : uint8_t {
    invalid_command,
    invalid_crc,
    watchdog_expired,
    session_data_mismatch,    // Connection state echo fault
    parameter_data_mismatch,  // Parameter state echo fault
};
inline constexpr const char* message_texts[] = {
    "Invalid slave frame command",
    "Invalid slave CRC",
    "The watchdog of the master expired",
    "Data exchanged during session state does not match",
    "Data exchanged during parameter state does not match",
};
inline constexpr int message_count = sizeof(message_texts) / sizeof(message_texts[0]);

constexpr const char* text(Message m) { return message_texts[static_cast<int>(m)]; }

}  // namespace tamsel::core

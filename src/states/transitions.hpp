#pragma once
// The named transitions of the five states, the texts they report and the error codes of
// their fault actions.
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::states {

inline constexpr int StateReset_id = 0, StateSession_id = 1, StateConnection_id = 2, StateParameter_id = 3,
                     StateData_id = 4;

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

// X(enumerator, transition name, owning class, action method without the class prefix,
//   action kind, error code of a fault action)
#define TAMSEL_TRANSITIONS(X)                                                                     \
    X(reset_ok, "RESET_OK", StateReset, "__reset_ok_action", own, none)                           \
    X(reset_stay1, "RESET_STAY1", StateReset, "__reset_stay1_action", own, none)                  \
    X(reset_wd, "RESET_WD", StateReset, "__reset_wd_action", own, none)                           \
    X(reset_start, "RESET_START", StateReset, "__reset_start_action", own, none)                  \
    X(session_ok, "SESSION_OK", StateSession, "__session_ok_action", own, none)                   \
    X(session_fail1, "SESSION_FAIL1", StateSession, "__session_fail1_action", fault, invalid_crc) \
    X(session_fail3, "SESSION_FAIL3", StateSession, "__session_fail3_action", fault, invalid_cmd) \
    X(session_fail4, "SESSION_FAIL4", StateSession, "__session_fail4_action", fault, unknown_cmd) \
    X(session_stay1, "SESSION_STAY1", StateSession, "__session_stay1_action", own, none)          \
    X(session_stay2, "SESSION_STAY2", StateSession, "__session_stay2_action", stay, none)         \
    X(session_reset1, "SESSION_RESET1", StateSession, "__session_reset1_action", own, none)       \
    X(session_reset2, "SESSION_RESET2", StateSession, "__session_reset2_action", fault, reset)    \
    X(session_wd, "SESSION_WD", StateSession, "__session_wd_action", fault, wd_expired)           \
    X(conn_ok, "CONN_OK", StateConnection, "__conn_ok_action", own, none)                         \
    X(conn_fail1, "CONN_FAIL1", StateConnection, "__conn_fail1_action", fault, invalid_crc)       \
    X(conn_fail2, "CONN_FAIL2", StateConnection, "__conn_fail2_action", fault, invalid_data)      \
    X(conn_fail3, "CONN_FAIL3", StateConnection, "__conn_fail3_action", fault, invalid_connid)    \
    X(conn_fail4, "CONN_FAIL4", StateConnection, "__conn_fail4_action", fault, invalid_cmd)       \
    X(conn_fail5, "CONN_FAIL5", StateConnection, "__conn_fail5_action", fault, unknown_cmd)       \
    X(conn_stay1, "CONNECTION_STAY1", StateConnection, "__conn_stay1_action", stay, none)         \
    X(conn_reset1, "CONN_RESET1", StateConnection, "__conn_reset1_action", new_session, none)     \
    X(conn_reset2, "CONN_RESET2", StateConnection, "__conn_reset2_action", fault, reset)          \
    X(conn_wd, "CONN_WD", StateConnection, "__conn_wd_action", fault, wd_expired)                 \
    X(para_ok, "PARA_OK", StateParameter, "__para_ok_action", own, none)                          \
    X(para_fail1, "PARA_FAIL1", StateParameter, "__para_fail1_action", fault, invalid_crc)        \
    X(para_fail2, "PARA_FAIL2", StateParameter, "__para_fail2_action", fault, invalid_data)       \
    X(para_fail3, "PARA_FAIL3", StateParameter, "__para_fail3_action", fault, invalid_connid)     \
    X(para_fail4, "PARA_FAIL4", StateParameter, "__para_fail4_action", fault, invalid_cmd)        \
    X(para_fail5, "PARA_FAIL5", StateParameter, "__para_fail5_action", fault, unknown_cmd)        \
    X(para_stay1, "PARA_STAY1", StateParameter, "__para_stay1_action", stay, none)                \
    X(para_reset1, "PARA_RESET1", StateParameter, "__para_reset1_action", new_session, none)      \
    X(para_reset2, "PARA_RESET2", StateParameter, "__para_reset2_action", fault, reset)           \
    X(para_wd, "PARA_WD", StateParameter, "__para_wd_action", fault, wd_expired)                  \
    X(data_ok1, "DATA_OK1", StateData, "__data_ok1_action", own, none)                            \
    X(data_ok2, "DATA_OK2", StateData, "__data_ok2_action", own, none)                            \
    X(data_fail1, "DATA_FAIL1", StateData, "__data_fail1_action", fault, invalid_crc)             \
    X(data_fail2, "DATA_FAIL2", StateData, "__data_fail2_action", fault, invalid_connid)          \
    X(data_fail3, "DATA_FAIL3", StateData, "__data_fail3_action", fault, invalid_cmd)             \
    X(data_fail4, "DATA_FAIL4", StateData, "__data_fail4_action", fault, unknown_cmd)             \
    X(data_reset1, "DATA_RESET1", StateData, "__data_reset1_action", new_session, none)           \
    X(data_reset2, "DATA_RESET2", StateData, "__data_reset2_action", fault, reset)                \
    X(data_wd, "DATA_WD", StateData, "__data_wd_action", fault, wd_expired)

enum class Transition : uint8_t {
#define TAMSEL_TRANSITION_ENUM(e, text, owner, action, kind, error) e,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_ENUM)
#undef TAMSEL_TRANSITION_ENUM
};
inline constexpr int transition_count = 0
#define TAMSEL_TRANSITION_COUNT(e, text, owner, action, kind, error) +1
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_COUNT)
#undef TAMSEL_TRANSITION_COUNT
    ;

// Fixed report texts.
enum class Message : uint8_t {
    invalid_command,          // "Invalid slave frame command"
    invalid_crc,              // "Invalid slave CRC"
    watchdog_expired,         // "The watchdog of the master expired"
    session_data_mismatch,    // Connection state echo fault
    parameter_data_mismatch,  // Parameter state echo fault
};
inline constexpr int message_count = 5;

// The state that owns each transition and the host name of its action method.
inline constexpr int transition_owner[] = {
#define TAMSEL_TRANSITION_OWNER(e, text, owner, action, kind, error) owner##_id,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_OWNER)
#undef TAMSEL_TRANSITION_OWNER
};
inline constexpr ActionKind action_kind[] = {
#define TAMSEL_TRANSITION_KIND(e, text, owner, action, kind, error) ActionKind::kind,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_KIND)
#undef TAMSEL_TRANSITION_KIND
};
inline constexpr ErrorCode action_error[] = {
#define TAMSEL_TRANSITION_ERROR(e, text, owner, action, kind, error) ErrorCode::error,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_ERROR)
#undef TAMSEL_TRANSITION_ERROR
};
inline constexpr const char* action_cnames[] = {
#define TAMSEL_TRANSITION_METHOD(e, text, owner, action, kind, error) "_" #owner action,
    TAMSEL_TRANSITIONS(TAMSEL_TRANSITION_METHOD)
#undef TAMSEL_TRANSITION_METHOD
};

// The transition name as an interned str (borrowed, immortal).
PyObject* transition_name(Transition t);
// The action method's name as the host sees it, e.g. "_StateReset__reset_ok_action" (borrowed).
PyObject* action_method_name(Transition t);
// A fixed report text (borrowed, immortal).
PyObject* message_text(Message m);
// The BaseError member for `code` (new reference), or null with an exception set.
PyObject* base_error(ErrorCode code);

// Interns the transition names, action names and messages; false with an exception set.
bool intern_transition_texts();

}  // namespace tamsel::states

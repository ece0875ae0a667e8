#pragma once
// The reset procedure, the new-session procedure and the action shapes every state shares.
#include "states/base.hpp"

namespace tamsel::states {

// Prepares the Reset request: command RESET, the master's error code as the only master
// dynamic-map item, an empty slave dynamic map.
int reset_map_frame(Context& ctx);
// Prepares the Session request: command SESSION, the master's session id as the only master
// dynamic-map item, an empty slave dynamic map.
int session_map_frame(Context& ctx);

// The reset procedure with `error` (a BaseError member). Its request is prepared by
// `self.map_frame()`, or by the Reset state's own when `self` is null (a temporary StateReset).
PyObject* reset_procedure(PyObject* self, Context& ctx, PyObject* error);
// The new-session procedure.
PyObject* new_session_procedure(Context& ctx);

// Logs `t`, then runs the reset procedure with `code` on a temporary StateReset.
PyObject* fault_action(Context& ctx, Transition t, ErrorCode code);
// Logs `t`, then runs the new-session procedure on a temporary StateSession.
PyObject* new_session_action(Context& ctx, Transition t);
// Logs `t`, restarts the watchdog and stays in `own`.
PyObject* stay_action(Context& ctx, Transition t, StateId own);

}  // namespace tamsel::states

#pragma once
// The reset procedure, the new-session procedure and the action shapes every state shares.
#include "states/base.hpp"

namespace tamsel::states {

// CRC_0 0 and sequence number 1 on both frames, master first.
bool restart_frames(Context& ctx);

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

// Reports the slave's reset under `t` with its error code, then runs `t`'s action.
PyObject* report_slave_reset(PyObject* self, Context& ctx, Transition t);

}  // namespace tamsel::states

#pragma once
// The transitions as the host sees them: their names, the names of their action methods and
// the report texts as interned str, and the BaseError members of the error codes.
#include "binding/ref.hpp"
#include "core/protocol.hpp"

namespace tamsel::states {

using core::ErrorCode;
using core::Message;
using core::Transition;

// The action method of each transition as the host sees it, e.g. "_StateReset__reset_ok_action".
#define TAMSEL_CLASS_reset "_StateReset"
#define TAMSEL_CLASS_session "_StateSession"
#define TAMSEL_CLASS_connection "_StateConnection"
#define TAMSEL_CLASS_parameter "_StateParameter"
#define TAMSEL_CLASS_data "_StateData"
inline constexpr const char* action_cnames[] = {
#define TAMSEL_ACTION_CNAME(e, text, owner, action, kind, error) TAMSEL_CLASS_##owner action,
    TAMSEL_TRANSITIONS(TAMSEL_ACTION_CNAME)
#undef TAMSEL_ACTION_CNAME
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

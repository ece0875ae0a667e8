#include "states/transitions.hpp"

#include "binding/module_state.hpp"

namespace tamsel::states {

namespace {

PyObject* interned_names[core::transition_count];
PyObject* interned_methods[core::transition_count];
PyObject* interned_messages[core::message_count];

PyObject* error_code_name(ErrorCode code) {
    switch (code) {
        case ErrorCode::none:
        case ErrorCode::reset: return binding::names().RESET;
        case ErrorCode::unknown_cmd: return binding::names().UNKNOWN_CMD;
        case ErrorCode::invalid_cmd: return binding::names().INVALID_CMD;
        case ErrorCode::invalid_crc: return binding::names().INVALID_CRC;
        case ErrorCode::invalid_connid: return binding::names().INVALID_CONNID;
        case ErrorCode::invalid_data: return binding::names().INVALID_DATA;
        case ErrorCode::wd_expired: return binding::names().WD_EXPIRED;
    }
    return binding::names().RESET;
}

}  // namespace

PyObject* transition_name(Transition t) { return interned_names[static_cast<int>(t)]; }
PyObject* action_method_name(Transition t) { return interned_methods[static_cast<int>(t)]; }
PyObject* message_text(Message m) { return interned_messages[static_cast<int>(m)]; }

PyObject* base_error(ErrorCode code) {
    return PyObject_GetAttr(binding::state().BaseError.get(), error_code_name(code));
}

bool intern_transition_texts() {
    for (int i = 0; i < core::transition_count; ++i) {
        const core::TransitionInfo& t = core::transitions[i];
        if (!(interned_names[i] = PyUnicode_InternFromString(t.name))) return false;
        if (!(interned_methods[i] = PyUnicode_InternFromString(action_cnames[i]))) return false;
    }
    for (int i = 0; i < core::message_count; ++i)
        if (!(interned_messages[i] = PyUnicode_InternFromString(core::message_texts[i]))) return false;
    return true;
}

}  // namespace tamsel::states

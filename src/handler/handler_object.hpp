#pragma once
// C++ access to MasterHandler instances, for the engine and the states.
//
// Every field of a handler is a slot of this struct; the host sees them as attributes under
// their published names. Object slots are owned references; they are null only before the
// constructor has run (or after the host deleted the attribute), so readers must expect
// null and raise AttributeError through `handler_field`.
#include "binding/module_state.hpp"
#include "core/protocol.hpp"
#include "handler/handler_lock.hpp"

#include <cstdint>

namespace tamsel::master {

// Counters of the handler's run, read by `MasterHandler.statistics`.
struct HandlerCounters {
    uint64_t replies;            // new slave frames processed
    uint64_t requests;           // requests computed
    uint64_t watchdog_expiries;  // watchdog-expired events run
    uint64_t connections;        // times StateData was entered
    uint64_t slave_resets;       // slave frames with command RESET processed
    double state_entered;        // time.time() when the current state was entered
};

struct HandlerObject {
    PyObject_HEAD PyObject* dict;  // instance dictionary of the plain class
    PyObject* weakrefs;
    PyObject* dictionary;
    PyObject* master;        // Node: what the master sends
    PyObject* slave;         // Node: what the master received from the slave
    PyObject* data_command;  // FSOECommand of every Data-state request
    PyObject* state;         // the current state object
    PyObject* watchdog;
    long initialization_data_bytes;
    bool second_session_frame_sent;
    PyObject* report_error_callback;  // callable or None
    PyObject* state_change_callback;  // callable or None
    bool reset_slave_sequence_number_after_frame;
    bool generate_crcs_cyclic_for_next_frame;
    PyObject* current_request;  // bytes returned by get_request
    PyObject* last_reply;       // bytes of the last reply accepted by set_reply
    // The reply being processed was longer than any frame image: only its first bytes could
    // be parsed, so its safe data cannot be verified.
    bool reply_oversized;
    bool running;
    HandlerLock lock;  // held by every operation that drives the state machine
    HandlerCounters counters;
    PyObject* fault_counts;     // dict transition name -> reports, or null before the first fault
    PyObject* last_fault;       // HandlerFault of the last report, or null
    PyObject* recorder;         // the FrameRing an attached recorder reads, or null
    PyObject* session_opening;  // bytes of the slave Reset frame that opened the session, or null
};

inline PyTypeObject* handler_type() { return binding::as_type(binding::state().MasterHandler); }

// True for MasterHandler and its subclasses.
inline bool is_handler(PyObject* obj) { return PyObject_TypeCheck(obj, handler_type()); }

// True only for the module's own class: its operations are not overridden.
inline bool is_exact_handler(PyObject* obj) { return Py_IS_TYPE(obj, handler_type()); }

inline HandlerObject* as_handler(PyObject* obj) { return reinterpret_cast<HandlerObject*>(obj); }

// The slot of one of the flags the master's rules set and test.
inline bool& flag_slot(HandlerObject& self, core::Flag flag) {
    switch (flag) {
        case core::Flag::second_session_frame_sent: return self.second_session_frame_sent;
        case core::Flag::reset_slave_sequence_number_after_frame: return self.reset_slave_sequence_number_after_frame;
        case core::Flag::generate_crcs_cyclic_for_next_frame: break;
    }
    return self.generate_crcs_cyclic_for_next_frame;
}

// A borrowed object slot, or null with AttributeError naming the field when it is unset.
PyObject* handler_field(PyObject* slot, const char* name);

// The operations the states call on their context. Each returns false (or -1) with an
// exception set on failure.
//
// `_report_error`: calls the error callback, if any, with (transition_name, message).
bool report_error(HandlerObject* self, PyObject* transition_name, PyObject* message);
// `_create_session_id`: clears the second-session flag and draws a new master session id.
bool create_session_id(HandlerObject* self);
// `_dynamic_map_pending`: 1 if either dynamic map still has data to move, 0 if not, -1 on error.
int dynamic_map_pending(HandlerObject* self);

}  // namespace tamsel::master

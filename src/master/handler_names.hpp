#pragma once
// Interned attribute and keyword names the handler uses on the objects it drives.
#include "binding/interned_names.hpp"

namespace tamsel::master::names {

#define TAMSEL_HANDLER_NAMES(X)                                                                         \
    X(master) X(slave) X(frame) X(control) X(session) X(value) X(connection_id) X(sequence_number)      \
    X(crc0) X(crcs) X(command) X(_dynamic_map) X(_last_crc0_sent) X(set_data_to_frame)                 \
    X(get_data_from_frame) X(valid_data_bytes) X(generate_crcs) X(generate_crcs_cyclic)               \
    X(increment_sequence_number) X(frame_to_array) X(_frame_from_array) X(command_is_valid) X(clear)  \
    X(add) X(error_id) X(session_id) X(slave_address) X(safe_data_size_bytes) X(pending) X(start)      \
    X(stop) X(deactivate) X(is_alive) X(map_frame) X(context) X(data_type) X(initial_value)            \
    X(_process_frame_received_event) X(_process_watchdog_expired_event)                               \
    X(_process_reset_connection_event) X(_set_use_by_master) X(_get_request) X(_set_reply)            \
    X(_set_next_state) X(_watchdog_expired_event) X(randint) X(watchdog_ms) X(application_parameters) \
    X(dictionary) X(item_types_accepted) X(dictionary_map_is_editable) X(timeout_s) X(callback)  \
    X(reset) X(_MasterHandler__recalculate_request)

// intern_all() interns every name once; false with an exception set on failure.
TAMSEL_DECLARE_INTERNED_NAMES(TAMSEL_HANDLER_NAMES)

}  // namespace tamsel::master::names

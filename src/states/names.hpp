#pragma once
// Interned attribute names the states use on their context (immortal once interned).
#include "binding/ref.hpp"

namespace tamsel::states {

#define TAMSEL_STATE_ATTRIBUTE_NAMES(X)                                                              \
    X(master) X(slave) X(frame) X(control) X(command) X(crc0) X(sequence_number) X(connection_id)    \
    X(session) X(_dynamic_map) X(dictionary_map) X(application_parameters) X(_last_crc0_sent)        \
    X(_data_command) X(dictionary) X(_watchdog) X(_generate_crcs_cyclic_for_next_frame)              \
    X(_second_session_frame_sent) X(_reset_slave_sequence_number_after_frame) X(_create_session_id) \
    X(_dynamic_map_pending) X(_report_error) X(check_crcs)                     \
    X(check_crcs_cyclic) X(command_is_valid) X(clear) X(add) X(is_safedata_correct)                  \
    X(expected_map) X(value) X(error) X(error_id) X(session_id) X(slave_address)                     \
    X(comm_parameter_size_bytes) X(watchdog_ms) X(app_parameter_size_bytes) X(n_bytes)               \
    X(_set_inputs_to_failsafe) X(_set_data_to_frame) X(_get_data_from_frame)                          \
    X(safe_data_size_bytes) X(safety_bytes) X(name) X(context) X(map_frame) X(_reset_session)        \
    X(_check_received_crcs) X(_process_frame_received_event)                      \
    X(_process_watchdog_expired_event) X(_process_reset_connection_event)                            \
    X(__abstractmethods__) X(__isabstractmethod__) X(__init_subclass__)                              \
    X(_StateParameter__calculate_master_size_bytes) X(_StateParameter__clear_slave_parameters)       \
    X(_StateParameter__map_node)                                                                     \
    X(RESET) X(SESSION) X(CONNECTION) X(PARAMETER) X(PROCESS_DATA) X(FAILSAFE_DATA)                  \
    X(UNKNOWN_CMD) X(INVALID_CMD) X(INVALID_CRC) X(INVALID_CONNID) X(INVALID_DATA) X(WD_EXPIRED)

namespace names {
#define TAMSEL_DECLARE_NAME(n) extern PyObject* n;
TAMSEL_STATE_ATTRIBUTE_NAMES(TAMSEL_DECLARE_NAME)
#undef TAMSEL_DECLARE_NAME
}  // namespace names

// Interns every name; false with an exception set.
bool intern_names();

}  // namespace tamsel::states

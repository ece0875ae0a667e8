#pragma once
// The attribute and method names the module looks up on host objects, interned once when the
// module body starts and held by the module state (binding/module_state.hpp). Interned
// strings live as long as the interpreter, so clearing the state keeps them: code that runs
// late in finalization (a finalizer, a namespace watcher) still finds its names.
#include "binding/ref.hpp"

namespace tamsel::binding {

// Every name; a name is written as it appears to the host.
// clang-format off
#define TAMSEL_NAMES(X) \
    X(master) X(slave) X(frame) X(control) X(session) X(value) X(connection_id) X(sequence_number) X(crc0)         \
    X(crcs) X(command) X(_dynamic_map) X(_last_crc0_sent) X(set_data_to_frame) X(get_data_from_frame)              \
    X(valid_data_bytes) X(generate_crcs) X(generate_crcs_cyclic) X(increment_sequence_number) X(frame_to_array)    \
    X(_frame_from_array) X(command_is_valid) X(clear) X(add) X(error_id) X(session_id) X(slave_address)            \
    X(safe_data_size_bytes) X(pending) X(start) X(stop) X(deactivate) X(is_alive) X(map_frame) X(context)          \
    X(data_type) X(initial_value) X(_process_frame_received_event) X(_process_watchdog_expired_event)              \
    X(_process_reset_connection_event) X(_set_use_by_master) X(_get_request) X(_set_reply) X(_set_next_state)      \
    X(_watchdog_expired_event) X(randint) X(watchdog_ms) X(application_parameters) X(dictionary)                   \
    X(item_types_accepted) X(dictionary_map_is_editable) X(timeout_s) X(callback) X(reset)                         \
    X(_MasterHandler__recalculate_request) X(dictionary_map) X(_data_command) X(_watchdog)                         \
    X(_generate_crcs_cyclic_for_next_frame) X(_second_session_frame_sent)                                          \
    X(_reset_slave_sequence_number_after_frame) X(_create_session_id) X(_dynamic_map_pending) X(_report_error)     \
    X(check_crcs) X(check_crcs_cyclic) X(is_safedata_correct) X(expected_map) X(error)                             \
    X(comm_parameter_size_bytes) X(app_parameter_size_bytes) X(n_bytes) X(_set_inputs_to_failsafe)                 \
    X(_set_data_to_frame) X(_get_data_from_frame) X(safety_bytes) X(name) X(_reset_session)                        \
    X(_check_received_crcs) X(__abstractmethods__) X(__isabstractmethod__) X(__init_subclass__)                    \
    X(_StateParameter__calculate_master_size_bytes) X(_StateParameter__clear_slave_parameters)                     \
    X(_StateParameter__map_node) X(RESET) X(SESSION) X(CONNECTION) X(PARAMETER) X(PROCESS_DATA) X(FAILSAFE_DATA)   \
    X(UNKNOWN_CMD) X(INVALID_CMD) X(INVALID_CRC) X(INVALID_CONNID) X(INVALID_DATA) X(WD_EXPIRED) X(_lock)          \
    X(running) X(bytes) X(get) X(set) X(set_safe_data_bytes) X(get_safe_data_bytes) X(TAMSEL_LOGGING)              \
    X(_log_transition) X(_log_generate_crc) X(_log_check_crc)
// clang-format on

struct Names {
#define TAMSEL_NAME_FIELD(name) PyObject* name = nullptr;
    TAMSEL_NAMES(TAMSEL_NAME_FIELD)
#undef TAMSEL_NAME_FIELD

    // Interns every name not interned yet; false with an exception set.
    bool intern_all();
};

}  // namespace tamsel::binding

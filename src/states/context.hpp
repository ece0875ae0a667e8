#pragma once
// What the states read and change on their handler (`context`) and its two nodes.
//
// Every operation goes through the handler's published Python-level names (attribute
// access and method calls), so it works with any handler and with host-substituted nodes,
// frames and maps. Each returns false (or -1) with an exception set when a call raised.
#include "binding/ref.hpp"
#include "states/transitions.hpp"

#include <utility>

namespace tamsel::states {

using binding::Ref;

enum class Side { master, slave };

// The command of a received slave frame, as the tests of the states tell them apart.
enum class Command { invalid, reset, session, connection, parameter, process_data, failsafe_data, other };

class Context {
public:
    explicit Context(Ref handler) noexcept : owner_(std::move(handler)), handler_(owner_.get()) {}
    PyObject* handler() const noexcept { return handler_; }

    // Frame control of one node's frame.
    bool set_crc0(Side side, long value);
    bool set_sequence_number(Side side, long value);
    bool set_master_command(Command command);
    // The class of the slave frame's command (command_is_valid() first, then `==`).
    bool slave_command(Command& out);
    // Compares the slave frame's connection id with the master's; on a mismatch `message`
    // receives the report text.
    int connection_id_matches(Ref& message);
    // The report text of a slave reset, naming the slave's error code.
    Ref slave_reset_message();

    // Handler fields and operations.
    bool set_data_command_failsafe();
    bool set_flag(PyObject* name, bool value);
    int get_flag(PyObject* name);
    bool activate_watchdog();
    bool create_session_id();
    int dynamic_map_pending();
    bool report(Transition t, PyObject* message);

    // Nodes, sessions, maps.
    bool set_inputs_to_failsafe();
    bool set_master_error(PyObject* error);  // master.session.error = error
    bool set_master_error(ErrorCode code);
    bool clear_dynamic_map(Side side);
    bool add_session_item(Side side, PyObject* field);
    bool clear_master_last_crc0();
    int slave_echo_correct();
    int check_received_crcs();
    bool map_master_outputs();
    bool read_slave_inputs();

    // Parameter transfer.
    bool set_master_parameter_sizes();
    bool clear_slave_parameters();
    bool map_parameters(PyObject* node);
    Ref node(Side side);

private:
    Ref owner_;  // keeps the handler alive for the whole event
    PyObject* handler_;
};

}  // namespace tamsel::states

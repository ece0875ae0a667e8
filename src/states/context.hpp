#pragma once
// What the states read and change on their handler (`context`) and its two nodes.
//
// Every operation works on the C++ slots of the objects when they are exactly the module's
// own types (the handler, its nodes, sessions, frames, maps and watchdog), and otherwise
// goes through their published Python-level names (attribute access and method calls), so
// it works with any handler and with host-substituted or subclassed objects. Each returns
// false (or -1) with an exception set when a call raised.
#include "binding/ref.hpp"
#include "frame/frame_object.hpp"
#include "master/handler_object.hpp"
#include "master/node_object.hpp"
#include "states/transitions.hpp"

#include <utility>

namespace tamsel::states {

using binding::Ref;

enum class Side { master, slave };

// The command of a received slave frame, as the tests of the states tell them apart.
enum class Command { invalid, reset, session, connection, parameter, process_data, failsafe_data, other };

class Context {
public:
    explicit Context(Ref handler) noexcept
        : owner_(std::move(handler)),
          handler_(owner_.get()),
          module_(&binding::state()),
          fast_(Py_IS_TYPE(handler_, binding::as_type(module_->MasterHandler)) ? master::as_handler(handler_)
                                                                               : nullptr) {}
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
    // The module's own objects behind the handler, or null where something else stands.
    master::NodeObject* fast_node(Side side) const noexcept;
    frame::FrameObject* fast_frame(Side side) const noexcept;
    PyObject* fast_session_item(Side side, PyObject* master::SessionObject::* field) const noexcept;
    bool* fast_flag(PyObject* name) const noexcept;
    // Sets a control word of a node's frame: the `field` slot, or the attribute `name`.
    bool set_control_word(Side side, uint16_t frame::FrameControl::* field, PyObject* name, long value);

    Ref owner_;  // keeps the handler alive for the whole event
    PyObject* handler_;
    const binding::ModuleState* module_;  // the module's own types
    master::HandlerObject* fast_;         // the handler when it is exactly a MasterHandler
};

}  // namespace tamsel::states

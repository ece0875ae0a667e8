#pragma once
// The host port: the master's rules over attribute access and method calls, for a state
// object and a context (handler) either of which, or any object behind them, the host may
// have substituted or subclassed. A handler operation runs as the handler's class defines it.
#include "binding/ref.hpp"
#include "core/master_rules.hpp"

namespace tamsel::ports {

using binding::Ref;

class HostPort {
public:
    using Next = Ref;  // the class of the next state
    using Text = Ref;  // a report text (str)

    // `self`: the state object the event runs on; `context`: its handler. Both borrowed: the
    // caller keeps them alive for the whole event.
    HostPort(PyObject* self, PyObject* context) noexcept : self_(self), handler_(context) {}

    Next next(core::State state) const;

    // Frames.
    bool set_crc0(core::Side side, uint16_t value);
    bool set_sequence_number(core::Side side, uint16_t value);
    bool set_master_command(core::Command command);
    bool slave_command(core::Command& out);
    int connection_id_matches(Text& mismatch);
    bool slave_reset_message(Text& out);
    int check_received_crcs() { return core::verify_received_crcs(*this); }
    bool reply_oversized() const;
    int reply_size_matches();
    int slave_last_crc0_known();
    int check_slave_crcs(bool cyclic);

    // Handler.
    bool log(core::Transition t);
    bool report(core::Transition t, core::Message message);
    bool report(core::Transition t, const Text& message);
    bool set_flag(core::Flag flag, bool value);
    int get_flag(core::Flag flag);
    bool set_data_command_failsafe();
    bool activate_watchdog();
    bool create_session_id();
    int dynamic_map_pending();

    // Nodes, sessions, maps.
    bool set_inputs_to_failsafe();
    bool set_master_error(core::ErrorCode code);
    bool set_master_error(PyObject* error);
    bool clear_dynamic_map(core::Side side);
    bool add_session_item(core::Side side, core::SessionField field);
    bool clear_master_last_crc0();
    int slave_echo_correct();
    bool map_master_outputs();
    bool read_slave_inputs();
    bool set_master_parameter_sizes();
    bool clear_slave_parameters();
    bool map_parameters(core::Side side);

    // The state object and what its class may replace.
    bool self_is(core::State state) const;
    int self_class() const;  // the module's class the object exactly is, or -1
    bool self_is_module_class() const { return self_class() >= 0; }
    Next call_action(core::Transition t);
    Next call_reset_session();
    int call_check_received_crcs();
    bool call_map_frame();
    bool call_calculate_master_size_bytes();
    bool call_clear_slave_parameters();
    bool call_map_node(core::Side side);

    PyObject* handler() const noexcept { return handler_; }

protected:
    Ref node(core::Side side) const;
    // The control words of a node's frame (`node.frame.control`), and one of them set.
    Ref control(core::Side side) const;
    bool set_control_word(core::Side side, PyObject* name, uint16_t value);
    // A report through the handler's `_report_error`.
    bool report_text(core::Transition t, PyObject* message);

    PyObject* self_;
    PyObject* handler_;
};

// Fills the dynamic map of `node` with the communication parameters of its session and its
// application parameters, as the Parameter state sends and expects them.
bool map_parameters(PyObject* node);

}  // namespace tamsel::ports

#pragma once
// The native port: the master's rules and the handler's cycle straight on the module's own
// objects. It serves an event only where nothing the host could replace stands in the way:
// the handler, the state object, both nodes, their frames, dynamic maps, dictionary maps and
// sessions are exactly the module's classes (checked once, when the port is made).
//
// The objects are bound when the port is made, borrowed. Before anything that can run host
// code (a callback, a subscriber, the console trace, a method of a host object) the port pins
// them (takes references), so host code that rebinds a node's or the handler's attributes
// cannot free what the rest of the event works on. A steady cycle runs no host code and
// pins nothing. What the port does not do natively it does as the host port does.
#include "core/master_cycle.hpp"
#include "core/master_rules.hpp"
#include "frame/frame_object.hpp"
#include "handler/handler_object.hpp"
#include "mapping/map_object.hpp"
#include "nodes/node_object.hpp"
#include "ports/host_port.hpp"
#include "trace/trace.hpp"

namespace tamsel::ports {

class NativePort : public HostPort {
public:
    // Whether the port can serve `state` (a state object) on `handler` (its context).
    static bool serves(PyObject* state, PyObject* handler) noexcept;

    // The port for `state` on `handler`, both kept alive by the caller; serves(state, handler)
    // must hold. `reply`: the bytes of a received frame, for the cycle.
    NativePort(PyObject* state, PyObject* handler, PyObject* reply = nullptr) noexcept;
    NativePort(const NativePort&) = delete;
    NativePort& operator=(const NativePort&) = delete;
    // Drops the pins. Not noexcept: freeing an object may run host code.
    ~NativePort() noexcept(false);

    // Whether host code may have run since the port was made.
    bool pinned() const noexcept { return pinned_; }
    PyObject* state_object() const noexcept { return self_; }

    // Frames.
    bool set_crc0(core::Side side, uint16_t value) {
        frame(side).control.crc0 = value;
        return true;
    }
    bool set_sequence_number(core::Side side, uint16_t value) {
        frame(side).control.sequence_number = value;
        return true;
    }
    bool set_master_command(core::Command command);
    bool slave_command(core::Command& out);
    int connection_id_matches(Text& mismatch);
    bool slave_reset_message(Text& out) { return pin(), HostPort::slave_reset_message(out); }
    int check_received_crcs() { return core::verify_received_crcs(*this); }
    bool reply_oversized() const { return handler_object_->reply_oversized; }
    int reply_size_matches() const;
    int slave_last_crc0_known() const { return node(core::Side::slave).last_crc0_sent.has_value(); }
    int check_slave_crcs(bool cyclic);

    // Handler.
    bool log(core::Transition t) {
        if (!trace::idle()) pin();
        return HostPort::log(t);
    }
    template <typename Message>
    bool report(core::Transition t, const Message& message) {
        return pin(), HostPort::report(t, message);
    }
    bool set_flag(core::Flag flag, bool value) {
        master::flag_slot(*handler_object_, flag) = value;
        return true;
    }
    int get_flag(core::Flag flag) { return master::flag_slot(*handler_object_, flag); }
    bool set_data_command_failsafe();
    bool activate_watchdog();
    bool create_session_id() { return pin(), master::create_session_id(handler_object_); }
    int dynamic_map_pending() { return pin(), master::dynamic_map_pending(handler_object_); }

    // Nodes, sessions, maps.
    bool set_inputs_to_failsafe();
    template <typename Error>
    bool set_master_error(const Error& error) {
        return pin(), HostPort::set_master_error(error);
    }
    bool clear_dynamic_map(core::Side side);
    bool add_session_item(core::Side side, core::SessionField field);
    bool clear_master_last_crc0() {
        node(core::Side::master).last_crc0_sent.reset();
        return true;
    }
    int slave_echo_correct();
    bool map_master_outputs();
    bool read_slave_inputs();
    bool set_master_parameter_sizes() { return pin(), HostPort::set_master_parameter_sizes(); }
    bool clear_slave_parameters() { return pin(), HostPort::clear_slave_parameters(); }
    bool map_parameters(core::Side side) { return pin(), HostPort::map_parameters(side); }

    // The state object is exactly the module's class of `state_`: nothing of it is replaced.
    bool self_is(core::State state) const { return state == state_; }
    int self_class() const { return static_cast<int>(state_); }
    bool self_is_module_class() const { return true; }
    Next call_action(core::Transition t) { return pin(), HostPort::call_action(t); }
    Next call_reset_session() { return pin(), HostPort::call_reset_session(); }
    int call_check_received_crcs() { return pin(), HostPort::call_check_received_crcs(); }
    bool call_map_frame() { return pin(), HostPort::call_map_frame(); }
    bool call_calculate_master_size_bytes() { return pin(), HostPort::call_calculate_master_size_bytes(); }
    bool call_clear_slave_parameters() { return pin(), HostPort::call_clear_slave_parameters(); }
    bool call_map_node(core::Side side) { return pin(), HostPort::call_map_node(side); }

    // The cycle.
    core::RequestKind request_kind() const;
    bool fill_request_from_state();
    bool fill_request_from_dynamic_map();
    bool stamp_connection_id(bool zero);
    bool generate_request_crcs(bool cyclic);
    bool remember_crc0(core::Side side) {
        node(side).last_crc0_sent = frame(side).crcs[0];
        return true;
    }
    bool copy_crc0(core::Side from) {
        frame(other(from)).control.crc0 = frame(from).crcs[0];
        return true;
    }
    bool increment_sequence_number(core::Side side) {
        frame(side).control.increment_sequence_number();
        return true;
    }
    bool parse_reply();
    int slave_command_is_reset() const { return frame(core::Side::slave).control.command == frame::command::reset; }
    bool receive_dynamic_map();
    Next frame_received_event();

    // The byte image of the master frame (new reference), once the request is computed.
    PyObject* request_image() const { return frame::image_bytes(frame(core::Side::master)); }

private:
    // The objects one side of the connection is made of, borrowed.
    struct Side {
        master::NodeObject* node;
        frame::FrameObject* frame;
        mapping::DynamicMapObject* dynamic_map;
        PyObject* dictionary_map;
        master::SessionObject* session;
    };

    static constexpr core::Side other(core::Side side) {
        return side == core::Side::master ? core::Side::slave : core::Side::master;
    }
    const Side& side(core::Side s) const { return sides_[s == core::Side::master ? 0 : 1]; }
    frame::Frame& frame(core::Side s) const { return side(s).frame->frame; }
    master::NodeObject& node(core::Side s) const { return *side(s).node; }
    // The handler's byte count as the dynamic maps take it.
    bool initialization_bytes(uint16_t& out) const;
    // Takes references to every bound object, once: host code is about to run. Returns true.
    bool pin() {
        if (!pinned_) pin_all();
        return true;
    }
    void pin_all() noexcept;
    // pin(), for a transfer of the mapping that is about to run host code.
    mapping::BeforeHostCode before_host_code() {
        return {[](void* port) { static_cast<NativePort*>(port)->pin(); }, this};
    }
    PyObject* bound(std::size_t index) const noexcept;

    master::HandlerObject* handler_object_;
    core::State state_;
    PyObject* reply_;
    Side sides_[2];
    bool pinned_ = false;
    static constexpr std::size_t bound_count = 11;  // five objects a side, and the state object
};

}  // namespace tamsel::ports

#pragma once
// The native port: the master's rules and the handler's cycle straight on the module's own
// objects. It serves an event only where nothing the host could replace stands in the way:
// the handler, the state object, both nodes, their frames, dynamic maps and dictionary maps
// sessions are exactly the module's classes (checked once, when the port is made). The objects are
// bound for the whole event, so host code run by a callback cannot pull them away.
// Everything else it does as the host port would.
#include "frame/frame_object.hpp"
#include "master/handler_object.hpp"
#include "master/node_object.hpp"
#include "core/master_cycle.hpp"
#include "ports/host_port.hpp"

namespace tamsel::ports {

class NativePort : public HostPort {
public:
    // Whether the port can serve `state` (a state object) on `handler` (its context).
    static bool serves(PyObject* state, PyObject* handler) noexcept;

    // The port for `state` on `handler`; serves(state, handler) must hold. `reply`: the bytes
    // of a received frame, for the cycle.
    NativePort(PyObject* state, Ref handler, PyObject* reply = nullptr) noexcept;

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
    int check_received_crcs();

    // Handler.
    bool set_flag(core::Flag flag, bool value) {
        flag_field(flag) = value;
        return true;
    }
    int get_flag(core::Flag flag) { return flag_field(flag); }
    bool set_data_command_failsafe();
    bool activate_watchdog();
    bool create_session_id() { return master::create_session_id(handler_object_); }
    int dynamic_map_pending() { return master::dynamic_map_pending(handler_object_); }

    // Nodes, sessions, maps.
    bool set_inputs_to_failsafe();
    bool clear_dynamic_map(core::Side side);
    bool add_session_item(core::Side side, core::SessionField field);
    bool clear_master_last_crc0() {
        node_object(core::Side::master).last_crc0_sent.reset();
        return true;
    }
    int slave_echo_correct();
    bool map_master_outputs();
    bool read_slave_inputs();

    // The state object is exactly the module's class of `state_`.
    bool self_is(core::State state) const { return state == state_; }
    int self_class() const { return static_cast<int>(state_); }
    bool self_is_module_class() const { return true; }

    // The cycle.
    core::RequestKind request_kind() const;
    bool fill_request_from_state();
    bool fill_request_from_dynamic_map();
    bool stamp_connection_id(bool zero);
    bool generate_request_crcs(bool cyclic);
    bool remember_crc0(core::Side side) {
        node_object(side).last_crc0_sent = frame(side).crcs[0];
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
    static constexpr core::Side other(core::Side side) {
        return side == core::Side::master ? core::Side::slave : core::Side::master;
    }
    static constexpr int index(core::Side side) { return side == core::Side::master ? 0 : 1; }

    frame::Frame& frame(core::Side side) const { return frame_objects_[index(side)]->frame; }
    frame::FrameObject& frame_object(core::Side side) const { return *frame_objects_[index(side)]; }
    master::NodeObject& node_object(core::Side side) const { return *master::as_node(nodes_[index(side)].get()); }
    master::SessionObject& session(core::Side side) const { return *master::as_session(sessions_[index(side)].get()); }
    mapping::DynamicMapObject* dynamic_map(core::Side side) const {
        return mapping::as_dynamic_map(dynamic_maps_[index(side)].get());
    }
    bool& flag_field(core::Flag flag) const;
    // The handler's byte count as the dynamic maps take it.
    bool initialization_bytes(uint16_t& out) const;

    master::HandlerObject* handler_object_;
    core::State state_;
    PyObject* reply_;
    Ref nodes_[2], frames_[2], dynamic_maps_[2], dictionary_maps_[2], sessions_[2];
    frame::FrameObject* frame_objects_[2];
};

}  // namespace tamsel::ports

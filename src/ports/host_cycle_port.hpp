#pragma once
// The handler's cycle over published attribute names and method calls: for a handler whose
// state, nodes, frames or maps the host substituted or subclassed. The state's event runs
// through the state object's own entry point, which picks its port.
#include "binding/ref.hpp"
#include "core/master_cycle.hpp"
#include "handler/handler_object.hpp"

namespace tamsel::ports {

using binding::Ref;

class HostCyclePort {
public:
    using Next = Ref;

    // All borrowed, kept alive by the caller; `reply`: the received bytes, for a reply.
    HostCyclePort(master::HandlerObject* handler, PyObject* state, PyObject* master, PyObject* slave,
                  PyObject* reply = nullptr) noexcept
        : handler_(handler), state_(state), nodes_{master, slave}, reply_(reply) {}

    // The flags are the handler's slots whatever its class.
    int get_flag(core::Flag flag) const { return master::flag_slot(*handler_, flag); }
    bool set_flag(core::Flag flag, bool value) {
        master::flag_slot(*handler_, flag) = value;
        return true;
    }
    bool set_sequence_number(core::Side side, uint16_t value);
    bool clear_dynamic_map(core::Side side);
    bool add_session_item(core::Side side, core::SessionField field);

    core::RequestKind request_kind() const;
    bool fill_request_from_state();
    bool fill_request_from_dynamic_map();
    bool stamp_connection_id(bool zero);
    bool generate_request_crcs(bool cyclic);
    bool remember_crc0(core::Side side);
    bool copy_crc0(core::Side from);
    bool increment_sequence_number(core::Side side);
    bool parse_reply();
    int slave_command_is_reset();
    bool receive_dynamic_map();
    Next frame_received_event();

    // `frame_to_array()` of the master frame (new reference), once the request is computed.
    PyObject* request_image() const;

private:
    PyObject* node(core::Side side) const { return nodes_[side == core::Side::master ? 0 : 1]; }
    // node.frame.control
    Ref control(core::Side side) const;

    master::HandlerObject* handler_;
    PyObject* state_;
    PyObject* nodes_[2];
    PyObject* reply_;
};

}  // namespace tamsel::ports

#include "master/handler_fast.hpp"
#include "binding/module_state.hpp"

#include "binding/convert.hpp"
#include "frame/frame_object.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "master/data_cycle.hpp"
#include "master/handler_generic.hpp"
#include "master/node_object.hpp"
#include "states/state_object.hpp"

#include <algorithm>

namespace tamsel::master::fast {

namespace {

using binding::Ref;
using generic::StateKind;

bool exact_node(PyObject* obj) {
    if (!Py_IS_TYPE(obj, node_type())) return false;
    NodeObject* node = as_node(obj);
    return frame::is_exact_frame(node->frame) && mapping::is_dynamic_map(node->dynamic_map) &&
           Py_IS_TYPE(node->session, session_type());
}

frame::FrameObject& frame_of(const Ref& frame) { return *reinterpret_cast<frame::FrameObject*>(frame.get()); }

// The handler's byte count as the dynamic maps take it (an unsigned 16-bit argument).
bool initialization_bytes(HandlerObject* self, uint16_t& out) {
    const long count = self->initialization_data_bytes;
    if (count >= 0 && count <= 0xFFFF) {
        out = static_cast<uint16_t>(count);
        return true;
    }
    Ref number = Ref::steal(PyLong_FromLong(count));  // raises the conversion's OverflowError
    return number && binding::to_unsigned(number.get(), out);
}

// `item.value` of a 16-bit session item, read straight from the module's own items.
bool session_value(PyObject* item, uint16_t& out) {
    if (mapping::exact_uint16_value(item, out)) return true;
    Ref value = Ref::steal(PyObject_GetAttr(item, binding::names().value));
    return value && binding::to_unsigned(value.get(), out);
}

}  // namespace

bool applies(PyObject* master, PyObject* slave) { return exact_node(master) && exact_node(slave); }

PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master_obj, PyObject* slave_obj) {
    NodeObject* master = as_node(master_obj);
    NodeObject* slave = as_node(slave_obj);
    // Strong references: the state's map_frame may run host code that replaces node fields.
    Ref master_frame = Ref::borrow(master->frame);
    Ref slave_frame = Ref::borrow(slave->frame);
    Ref master_map = Ref::borrow(master->dynamic_map);
    Ref session = Ref::borrow(master->session);
    const StateKind kind = generic::classify(state);

    if (kind == StateKind::data) {
        // The module's own Data state maps the frame as map_outputs does.
        const bool own_data_state = state == self->state && data_cycle::own_data_state(self);
        if (own_data_state ? !data_cycle::map_outputs(self, master, &frame_of(master_frame))
                           : states::map_frame(state) < 0)
            return nullptr;
    } else {
        uint16_t count;
        if (!initialization_bytes(self, count) ||
            mapping::dynamic_map_set_data_to_frame(mapping::as_dynamic_map(master_map.get()), master_frame.get(),
                                                   count) < 0)
            return nullptr;
    }

    frame::Frame& request = frame_of(master_frame).frame;
    uint16_t connection_id = 0;
    if (kind != StateKind::reset && kind != StateKind::session &&
        !session_value(as_session(session.get())->connection_id, connection_id))
        return nullptr;
    request.control.connection_id = connection_id;

    if (self->generate_crcs_cyclic_for_next_frame) {
        if (!master->last_crc0_sent) {
            PyErr_SetString(PyExc_ValueError, "Cannot generate cyclic CRCs without a last CRC sent");
            return nullptr;
        }
        if (!frame::generate_crcs_cyclic(frame_of(master_frame), *master->last_crc0_sent)) return nullptr;
    } else if (!frame::generate_crcs(frame_of(master_frame))) {
        return nullptr;
    }
    master->last_crc0_sent = request.crcs[0];

    frame::Frame& reply = frame_of(slave_frame).frame;
    if (self->reset_slave_sequence_number_after_frame) {
        reply.control.sequence_number = 1;
        self->reset_slave_sequence_number_after_frame = false;
    }
    if (kind != StateKind::reset) {
        reply.control.crc0 = request.crcs[0];
        request.control.increment_sequence_number();
    }
    return frame::image_bytes(request);
}

PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master_obj, PyObject* slave_obj,
                        PyObject* data) {
    NodeObject* master = as_node(master_obj);
    NodeObject* slave = as_node(slave_obj);
    Ref master_frame = Ref::borrow(master->frame);
    Ref slave_frame = Ref::borrow(slave->frame);
    Ref slave_map = Ref::borrow(slave->dynamic_map);
    Ref session = Ref::borrow(slave->session);
    const StateKind kind = generic::classify(state);

    frame::Frame& reply = frame_of(slave_frame).frame;
    self->reply_oversized = PyBytes_GET_SIZE(data) > generic::longest_reply;
    const Py_ssize_t length = std::min<Py_ssize_t>(PyBytes_GET_SIZE(data), generic::longest_reply);
    frame::parse_bytes(reply, PyBytes_AS_STRING(data), length);
    if (kind != StateKind::reset) frame_of(master_frame).frame.control.crc0 = reply.crcs[0];

    mapping::DynamicMapObject* map = mapping::as_dynamic_map(slave_map.get());
    if (reply.control.command == frame::command::reset &&
        (mapping::dynamic_map_clear(map) < 0 || mapping::dynamic_map_add(map, as_session(session.get())->error_id) < 0))
        return nullptr;
    uint16_t count;
    if (!initialization_bytes(self, count) ||
        mapping::dynamic_map_get_data_from_frame(map, slave_frame.get(), count) < 0)
        return nullptr;

    Ref next_state = Ref::steal(states::process_frame_received(state));
    if (!next_state) return nullptr;

    if (kind != StateKind::reset) reply.control.increment_sequence_number();
    slave->last_crc0_sent = reply.crcs[0];
    return next_state.release();
}

}  // namespace tamsel::master::fast

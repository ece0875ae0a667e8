#include "master/data_cycle.hpp"

#include "binding/host_calls.hpp"
#include "binding/module_state.hpp"
#include "data/dictionary_object.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "mapping/map_object.hpp"
#include "master/handler_engine.hpp"
#include "master/handler_fast.hpp"
#include "master/handler_generic.hpp"
#include "master/watchdog.hpp"
#include "states/base.hpp"
#include "states/state_object.hpp"
#include "trace/trace.hpp"

namespace tamsel::master::data_cycle {

namespace {

using binding::Ref;

// The code of the Data-state command; the two members the handler uses are recognised
// without an attribute lookup.
bool data_command_code(PyObject* member, uint16_t& code) {
    const binding::ModuleState& st = binding::state();
    if (member == st.process_data.get()) {
        code = frame::command::process_data;
        return true;
    }
    if (member == st.failsafe_data.get()) {
        code = frame::command::failsafe_data;
        return true;
    }
    return frame::command_code(member, code);
}

frame::FrameObject* frame_object(PyObject* frame) { return reinterpret_cast<frame::FrameObject*>(frame); }

// The handler's parts this route works on, borrowed; taken only where the route applies.
struct Route {
    NodeObject* master = nullptr;
    NodeObject* slave = nullptr;
    mapping::MapObject* inputs = nullptr;
    uint16_t connection_id = 0;

    bool load(HandlerObject* self) {
        if (!trace::idle() || !own_data_state(self) || !self->dictionary || !data::is_dictionary(self->dictionary) ||
            !self->master || !self->slave || !fast::applies(self->master, self->slave))
            return false;
        master = as_node(self->master);
        slave = as_node(self->slave);
        if (!mapping::is_exact_map(slave->dictionary_map) ||
            !mapping::exact_uint16_value(as_session(master->session)->connection_id, connection_id))
            return false;
        // The general way moves the slave's dynamic map along with every reply; with nothing
        // left in it, that is nothing to do.
        const long bytes = self->initialization_data_bytes;
        if (bytes < 0 || bytes > 0xFFFF || !mapping::dynamic_map_drained(mapping::as_dynamic_map(slave->dynamic_map)))
            return false;
        inputs = mapping::as_map(slave->dictionary_map);
        return true;
    }
};

}  // namespace

bool own_data_state(HandlerObject* self) {
    PyObject* state = self->state;
    return is_exact_handler(reinterpret_cast<PyObject*>(self)) && state &&
           Py_IS_TYPE(state, states::state_type(states::StateId::data)) &&
           reinterpret_cast<states::StateObject*>(state)->context == reinterpret_cast<PyObject*>(self);
}

bool map_outputs(HandlerObject* self, NodeObject* master, frame::FrameObject* frame) {
    uint16_t code = 0;
    PyObject* command = handler_field(self->data_command, "_data_command");
    if (!command || !data_command_code(command, code)) return false;
    frame->frame.control.command = code;
    // Host code run by the items may rebind the node's map or frame: keep both alive.
    Ref map = Ref::borrow(master->dictionary_map), kept_frame = Ref::borrow(master->frame);
    if (mapping::is_exact_map(map.get()))
        return mapping::pack_outputs(*mapping::as_map(map.get()), frame->frame.safe_data);
    return py::run(map.get(), binding::names()._set_data_to_frame, {kept_frame.get()});
}

bool read_inputs(NodeObject* slave, frame::FrameObject* frame) {
    // Input subscribers may rebind the node's map or frame: keep both alive.
    Ref map = Ref::borrow(slave->dictionary_map), kept_frame = Ref::borrow(slave->frame);
    return mapping::unpack_inputs(*mapping::as_map(map.get()), frame->frame.safe_data);
}

Outcome process_reply(HandlerObject* self, PyObject* data) {
    Route route;
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    if (length > generic::longest_reply || !route.load(self)) return Outcome::elsewhere;

    // Parsed and checked aside, so that a reply this route does not take leaves all as it was.
    frame::FrameObject* reply_object = frame_object(route.slave->frame);
    frame::Frame reply = reply_object->frame;
    frame::parse_bytes(reply, PyBytes_AS_STRING(data), length);
    const uint16_t command = reply.control.command;
    if ((command != frame::command::process_data && command != frame::command::failsafe_data) ||
        reply.control.connection_id != route.connection_id ||
        reply.safe_data_size != mapping::safety_bytes(*route.inputs))
        return Outcome::elsewhere;
    frame::CrcWords calculated{};
    const bool valid = route.slave->last_crc0_sent
                           ? frame::check_crcs_cyclic(reply, *route.slave->last_crc0_sent, calculated)
                           : frame::check_crcs(reply, calculated);
    if (!valid) return Outcome::elsewhere;

    self->reply_oversized = false;
    reply_object->frame = reply;
    frame_object(route.master->frame)->frame.control.crc0 = reply.crcs[0];

    // From here on input subscribers may run host code: what is written afterwards goes to
    // the very node and frame the reply was parsed into.
    Ref slave = Ref::borrow(self->slave), kept_reply = Ref::borrow(route.slave->frame);
    const bool process_data = command == frame::command::process_data;
    if (!states::log_transition(process_data ? states::Transition::data_ok1 : states::Transition::data_ok2))
        return Outcome::failed;
    const bool inputs_set = process_data ? read_inputs(route.slave, reply_object)
                                         : data::set_inputs_to_failsafe(self->dictionary);
    if (!inputs_set) return Outcome::failed;
    self->generate_crcs_cyclic_for_next_frame = true;
    PyObject* watchdog = handler_field(self->watchdog, "_watchdog");
    if (!watchdog || !call_watchdog(Ref::borrow(watchdog).get(), WatchdogOperation::activate_and_reset))
        return Outcome::failed;

    reply_object->frame.control.increment_sequence_number();
    route.slave->last_crc0_sent = reply_object->frame.crcs[0];
    return set_next_state(self, reinterpret_cast<PyObject*>(states::state_type(states::StateId::data)))
               ? Outcome::done
               : Outcome::failed;
}

}  // namespace tamsel::master::data_cycle

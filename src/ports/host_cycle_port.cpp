#include "ports/host_cycle_port.hpp"

#include "binding/host_calls.hpp"
#include "binding/module_state.hpp"
#include "frame/frame.hpp"
#include "ports/attributes.hpp"
#include "ports/state_events.hpp"

namespace tamsel::ports {

using core::Side;

namespace {

Ref long_ref(long value) { return Ref::steal(PyLong_FromLong(value)); }

// obj.<chain>[0]
Ref first_word(PyObject* obj, std::initializer_list<PyObject*> chain) {
    Ref words = py::path(obj, chain);
    return words ? Ref::steal(PySequence_GetItem(words.get(), 0)) : Ref{};
}

}  // namespace

Ref HostCyclePort::control(Side side) const {
    return py::path(node(side), {binding::names().frame, binding::names().control});
}

bool HostCyclePort::set_sequence_number(Side side, uint16_t value) {
    Ref target = control(side);
    Ref number = long_ref(value);
    return target && number && py::set(target.get(), binding::names().sequence_number, number.get());
}

bool HostCyclePort::clear_dynamic_map(Side side) {
    Ref map = py::get(node(side), binding::names()._dynamic_map);
    return map && py::run(map.get(), binding::names().clear);
}

bool HostCyclePort::add_session_item(Side side, core::SessionField field) {
    Ref map = py::get(node(side), binding::names()._dynamic_map);
    if (!map) return false;
    Ref item = py::path(node(side), {binding::names().session, session_field_name(field)});
    return item && py::run(map.get(), binding::names().add, {item.get()});
}

core::RequestKind HostCyclePort::request_kind() const {
    binding::ModuleState& st = binding::state();
    if (PyObject_TypeCheck(state_, binding::as_type(st.StateData))) return core::RequestKind::data;
    if (PyObject_TypeCheck(state_, binding::as_type(st.StateReset))) return core::RequestKind::reset;
    if (PyObject_TypeCheck(state_, binding::as_type(st.StateSession))) return core::RequestKind::session;
    return core::RequestKind::other;
}

bool HostCyclePort::fill_request_from_state() { return states::map_frame(state_) == 0; }

bool HostCyclePort::fill_request_from_dynamic_map() {
    Ref map = py::get(node(Side::master), binding::names()._dynamic_map);
    Ref frame = map ? py::get(node(Side::master), binding::names().frame) : Ref{};
    Ref count = frame ? long_ref(handler_->initialization_data_bytes) : Ref{};
    return count && py::call_kw2(map.get(), binding::names().set_data_to_frame, binding::names().frame, frame.get(),
                                 binding::names().valid_data_bytes, count.get());
}

bool HostCyclePort::stamp_connection_id(bool zero) {
    Ref target = control(Side::master);
    if (!target) return false;
    Ref id = zero ? long_ref(0)
                  : py::path(node(Side::master),
                             {binding::names().session, binding::names().connection_id, binding::names().value});
    return id && py::set(target.get(), binding::names().connection_id, id.get());
}

bool HostCyclePort::generate_request_crcs(bool cyclic) {
    Ref frame = py::get(node(Side::master), binding::names().frame);
    if (!frame) return false;
    if (!cyclic) return py::run(frame.get(), binding::names().generate_crcs);
    Ref last = py::get(node(Side::master), binding::names()._last_crc0_sent);
    if (!last) return false;
    if (last.get() == Py_None) {
        PyErr_SetString(PyExc_ValueError, "Cannot generate cyclic CRCs without a last CRC sent");
        return false;
    }
    return py::run(frame.get(), binding::names().generate_crcs_cyclic, {last.get()});
}

bool HostCyclePort::remember_crc0(Side side) {
    Ref crc0 = first_word(node(side), {binding::names().frame, binding::names().crcs});
    return crc0 && py::set(node(side), binding::names()._last_crc0_sent, crc0.get());
}

bool HostCyclePort::copy_crc0(Side from) {
    Ref crc0 = first_word(node(from), {binding::names().frame, binding::names().crcs});
    Ref target = crc0 ? control(from == Side::master ? Side::slave : Side::master) : Ref{};
    return target && py::set(target.get(), binding::names().crc0, crc0.get());
}

bool HostCyclePort::increment_sequence_number(Side side) {
    Ref target = control(side);
    return target && py::run(target.get(), binding::names().increment_sequence_number);
}

bool HostCyclePort::parse_reply() {
    Ref frame = py::get(node(Side::slave), binding::names().frame);
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(reply_));
    handler_->reply_oversized = core::reply_oversized(length);
    Ref image = handler_->reply_oversized
                    ? Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(reply_),
                                                           static_cast<Py_ssize_t>(core::parsed_length(length))))
                    : Ref::borrow(reply_);
    return frame && image && py::run(frame.get(), binding::names()._frame_from_array, {image.get()});
}

int HostCyclePort::slave_command_is_reset() {
    Ref target = control(Side::slave);
    if (!target) return -1;
    const int valid = py::truth(py::call(target.get(), binding::names().command_is_valid));
    if (valid <= 0) return valid;
    Ref command = py::get(target.get(), binding::names().command);
    Ref reset = command ? command_member(core::Command::reset) : Ref{};
    return reset ? PyObject_RichCompareBool(command.get(), reset.get(), Py_EQ) : -1;
}

bool HostCyclePort::receive_dynamic_map() {
    Ref map = py::get(node(Side::slave), binding::names()._dynamic_map);
    Ref frame = map ? py::get(node(Side::slave), binding::names().frame) : Ref{};
    Ref count = frame ? long_ref(handler_->initialization_data_bytes) : Ref{};
    return count && py::call_kw2(map.get(), binding::names().get_data_from_frame, binding::names().frame, frame.get(),
                                 binding::names().valid_data_bytes, count.get());
}

HostCyclePort::Next HostCyclePort::frame_received_event() { return Ref::steal(states::process_frame_received(state_)); }

PyObject* HostCyclePort::request_image() const {
    Ref frame = py::get(node(Side::master), binding::names().frame);
    return frame ? py::call(frame.get(), binding::names().frame_to_array).release() : nullptr;
}

}  // namespace tamsel::ports

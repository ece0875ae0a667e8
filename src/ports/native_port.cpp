#include "ports/native_port.hpp"

#include "binding/convert.hpp"
#include "binding/host_calls.hpp"
#include "core/commands.hpp"
#include "core/master_rules.hpp"
#include "data/dictionary_object.hpp"
#include "mapping/map_object.hpp"
#include "watchdog/watchdog.hpp"
#include "ports/attributes.hpp"
#include "states/state_object.hpp"

namespace tamsel::ports {

namespace {

bool own_node(PyObject* obj) noexcept {
    if (!obj || !Py_IS_TYPE(obj, master::node_type())) return false;
    const master::NodeObject* node = master::as_node(obj);
    return frame::is_exact_frame(node->frame) && mapping::is_dynamic_map(node->dynamic_map) &&
           mapping::is_exact_map(node->dictionary_map) && Py_IS_TYPE(node->session, master::session_type());
}

}  // namespace

bool NativePort::serves(PyObject* state, PyObject* handler) noexcept {
    if (!master::is_exact_handler(handler) || states::own_state_id(state) < 0 ||
        reinterpret_cast<states::StateObject*>(state)->context != handler)
        return false;
    const master::HandlerObject* h = master::as_handler(handler);
    return own_node(h->master) && own_node(h->slave);
}

NativePort::NativePort(PyObject* state, PyObject* handler, PyObject* reply) noexcept
    : HostPort(state, handler),
      handler_object_(master::as_handler(handler)),
      state_(static_cast<core::State>(states::own_state_id(state))),
      reply_(reply) {
    PyObject* nodes[2] = {handler_object_->master, handler_object_->slave};
    for (int i = 0; i < 2; ++i) {
        master::NodeObject* node = master::as_node(nodes[i]);
        sides_[i] = {node, reinterpret_cast<frame::FrameObject*>(node->frame),
                     mapping::as_dynamic_map(node->dynamic_map), node->dictionary_map,
                     master::as_session(node->session)};
    }
}

PyObject* NativePort::bound(std::size_t index) const noexcept {
    if (index == 10) return self_;
    const Side& s = sides_[index / 5];
    switch (index % 5) {
        case 0: return reinterpret_cast<PyObject*>(s.node);
        case 1: return reinterpret_cast<PyObject*>(s.frame);
        case 2: return reinterpret_cast<PyObject*>(s.dynamic_map);
        case 3: return s.dictionary_map;
        default: return reinterpret_cast<PyObject*>(s.session);
    }
}

void NativePort::pin_all() noexcept {
    for (std::size_t i = 0; i < bound_count; ++i) Py_INCREF(bound(i));
    pinned_ = true;
}

NativePort::~NativePort() noexcept(false) {
    if (!pinned_) return;
    // Released last to first, as references of locals would be.
    for (std::size_t i = bound_count; i-- > 0;) binding::drop_reference(bound(i));
}

// ---- frames --------------------------------------------------------------------------------

bool NativePort::set_master_command(core::Command command) {
    frame(core::Side::master).control.command = core::command_code(command);
    return true;
}

bool NativePort::slave_command(core::Command& out) {
    out = core::classify(frame(core::Side::slave).control.command);
    return true;
}

int NativePort::connection_id_matches(Text& mismatch) {
    uint16_t own_id = 0;
    if (!mapping::exact_uint16_value(side(core::Side::master).session->connection_id, own_id))
        return pin(), HostPort::connection_id_matches(mismatch);
    const unsigned received_id = frame(core::Side::slave).control.connection_id;
    if (received_id == own_id) return 1;
    mismatch = Ref::steal(PyUnicode_FromFormat("Connection id exchanged does not match %u != %u", received_id,
                                               static_cast<unsigned>(own_id)));
    return mismatch ? 0 : -1;
}

int NativePort::reply_size_matches() const {
    const Side& slave = side(core::Side::slave);
    return slave.frame->frame.safe_data_size == mapping::safety_bytes(*mapping::as_map(slave.dictionary_map));
}

int NativePort::check_slave_crcs(bool cyclic) {
    if (!trace::idle()) pin();
    const Side& slave = side(core::Side::slave);
    return cyclic ? frame::check_crcs_cyclic(*slave.frame, *slave.node->last_crc0_sent)
                  : frame::check_crcs(*slave.frame);
}

// ---- handler -------------------------------------------------------------------------------

bool NativePort::set_data_command_failsafe() {
    binding::assign(handler_object_->data_command, binding::state().failsafe_data.get());
    return true;
}

bool NativePort::activate_watchdog() {
    PyObject* watchdog = master::handler_field(handler_object_->watchdog, "_watchdog");
    if (!watchdog) return false;
    // A host watchdog's methods are host code.
    if (!master::is_exact_watchdog(watchdog)) pin();
    return master::activate_for_reaction(Ref::borrow(watchdog).get());
}

// ---- nodes, sessions, maps -----------------------------------------------------------------

bool NativePort::set_inputs_to_failsafe() {
    pin();  // subscribers of the inputs
    PyObject* dictionary = handler_object_->dictionary;
    if (!dictionary || !data::is_dictionary(dictionary)) return HostPort::set_inputs_to_failsafe();
    return data::set_inputs_to_failsafe(Ref::borrow(dictionary).get());
}

bool NativePort::clear_dynamic_map(core::Side s) { return mapping::dynamic_map_clear(side(s).dynamic_map) == 0; }

bool NativePort::add_session_item(core::Side s, core::SessionField field) {
    const master::SessionObject& session = *side(s).session;
    PyObject* item = nullptr;
    switch (field) {
        case core::SessionField::slave_address: item = session.slave_address; break;
        case core::SessionField::session_id: item = session.session_id; break;
        case core::SessionField::error_id: item = session.error_id; break;
        case core::SessionField::connection_id: item = session.connection_id; break;
    }
    return mapping::dynamic_map_add(side(s).dynamic_map, Ref::borrow(item).get()) == 0;
}

int NativePort::slave_echo_correct() {
    return mapping::dynamic_map_is_safedata_correct(side(core::Side::slave).dynamic_map,
                                                    reinterpret_cast<PyObject*>(side(core::Side::master).dynamic_map));
}

namespace {

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

}  // namespace

bool NativePort::map_master_outputs() {
    uint16_t code = 0;
    PyObject* command = master::handler_field(handler_object_->data_command, "_data_command");
    if (!command || !data_command_code(command, code)) return false;
    frame(core::Side::master).control.command = code;
    return mapping::pack_outputs(*mapping::as_map(side(core::Side::master).dictionary_map),
                                 frame(core::Side::master).safe_data, before_host_code());
}

bool NativePort::read_slave_inputs() {
    return mapping::unpack_inputs(*mapping::as_map(side(core::Side::slave).dictionary_map),
                                  frame(core::Side::slave).safe_data, before_host_code());
}

// ---- the cycle -----------------------------------------------------------------------------

core::RequestKind NativePort::request_kind() const {
    switch (state_) {
        case core::State::reset: return core::RequestKind::reset;
        case core::State::session: return core::RequestKind::session;
        case core::State::data: return core::RequestKind::data;
        default: return core::RequestKind::other;
    }
}

bool NativePort::fill_request_from_state() { return core::map_frame(*this, state_) == 0; }

bool NativePort::initialization_bytes(uint16_t& out) const {
    const long count = handler_object_->initialization_data_bytes;
    if (count >= 0 && count <= 0xFFFF) {
        out = static_cast<uint16_t>(count);
        return true;
    }
    Ref number = Ref::steal(PyLong_FromLong(count));  // raises the conversion's OverflowError
    return number && binding::to_unsigned(number.get(), out);
}

bool NativePort::fill_request_from_dynamic_map() {
    uint16_t count = 0;
    return initialization_bytes(count) &&
           mapping::dynamic_map_set_data_to_frame(side(core::Side::master).dynamic_map,
                                                  reinterpret_cast<PyObject*>(side(core::Side::master).frame),
                                                  count) == 0;
}

bool NativePort::stamp_connection_id(bool zero) {
    uint16_t id = 0;
    if (!zero) {
        // A substituted connection id item is read through its `value`.
        PyObject* item = side(core::Side::master).session->connection_id;
        if (!mapping::exact_uint16_value(item, id)) {
            pin();  // a host item's `value`
            Ref value = Ref::steal(PyObject_GetAttr(Ref::borrow(item).get(), binding::names().value));
            if (!value || !binding::to_unsigned(value.get(), id)) return false;
        }
    }
    frame(core::Side::master).control.connection_id = id;
    return true;
}

bool NativePort::generate_request_crcs(bool cyclic) {
    if (!trace::idle()) pin();
    frame::FrameObject& request = *side(core::Side::master).frame;
    if (!cyclic) return frame::generate_crcs(request);
    const std::optional<uint16_t> last = node(core::Side::master).last_crc0_sent;
    if (!last) {
        PyErr_SetString(PyExc_ValueError, "Cannot generate cyclic CRCs without a last CRC sent");
        return false;
    }
    return frame::generate_crcs_cyclic(request, *last);
}

bool NativePort::parse_reply() {
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(reply_));
    handler_object_->reply_oversized = core::reply_oversized(length);
    frame::parse_bytes(frame(core::Side::slave), PyBytes_AS_STRING(reply_),
                       static_cast<Py_ssize_t>(core::parsed_length(length)));
    return true;
}

bool NativePort::receive_dynamic_map() {
    uint16_t count = 0;
    if (!initialization_bytes(count)) return false;
    // A map with nothing left to receive takes nothing from any frame.
    if (mapping::dynamic_map_drained(side(core::Side::slave).dynamic_map)) return true;
    return mapping::dynamic_map_get_data_from_frame(side(core::Side::slave).dynamic_map,
                                                    reinterpret_cast<PyObject*>(side(core::Side::slave).frame),
                                                    count) == 0;
}

NativePort::Next NativePort::frame_received_event() { return core::frame_received(*this, state_); }

}  // namespace tamsel::ports

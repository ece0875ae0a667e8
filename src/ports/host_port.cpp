#include "ports/host_port.hpp"

#include "binding/module_state.hpp"
#include "binding/reaction.hpp"
#include "handler/handler_object.hpp"
#include "watchdog/watchdog.hpp"
#include "ports/attributes.hpp"
#include "states/state_object.hpp"
#include "states/transitions.hpp"
#include "trace/trace.hpp"

#include <array>

namespace tamsel::ports {

using core::Side;

namespace {

master::HandlerObject* exact_handler(PyObject* handler) {
    return master::is_exact_handler(handler) ? master::as_handler(handler) : nullptr;
}

bool call_private(PyObject* self, PyObject* method, PyObject* arg = nullptr) {
    return Ref::steal(arg ? PyObject_CallMethodOneArg(self, method, arg) : PyObject_CallMethodNoArgs(self, method))
        .get();
}

}  // namespace

HostPort::Next HostPort::next(core::State state) const { return Ref::steal(states::class_ref(state)); }

Ref HostPort::node(Side side) const { return attr(handler_, side_name(side)); }

// ---- frames --------------------------------------------------------------------------------

Ref HostPort::control(Side side) const {
    return path(handler_, {side_name(side), binding::names().frame, binding::names().control});
}

bool HostPort::set_control_word(Side side, PyObject* name, uint16_t value) {
    Ref target = control(side);
    return target && py::set_new(target.get(), name, PyLong_FromLong(value));
}

bool HostPort::set_crc0(Side side, uint16_t value) { return set_control_word(side, binding::names().crc0, value); }

bool HostPort::set_sequence_number(Side side, uint16_t value) {
    return set_control_word(side, binding::names().sequence_number, value);
}

bool HostPort::set_master_command(core::Command command) {
    Ref member = command_member(command);
    if (!member) return false;
    Ref target = control(Side::master);
    return target && py::set(target.get(), binding::names().command, member.get());
}

bool HostPort::slave_command(core::Command& out) {
    Ref control = this->control(Side::slave);
    if (!control) return false;
    const int valid = py::truth(py::call(control.get(), binding::names().command_is_valid));
    if (valid < 0) return false;
    if (!valid) {
        out = core::Command::invalid;
        return true;
    }
    Ref command = attr(control.get(), binding::names().command);
    if (!command) return false;
    for (core::Command candidate :
         {core::Command::reset, core::Command::session, core::Command::connection, core::Command::parameter,
          core::Command::process_data, core::Command::failsafe_data}) {
        Ref member = command_member(candidate);
        if (!member) return false;
        const int equal = PyObject_RichCompareBool(command.get(), member.get(), Py_EQ);
        if (equal < 0) return false;
        if (equal) {
            out = candidate;
            return true;
        }
    }
    out = core::Command::other;
    return true;
}

int HostPort::connection_id_matches(Text& mismatch) {
    Ref slave_id = path(handler_, {binding::names().slave, binding::names().frame, binding::names().control,
                                   binding::names().connection_id});
    if (!slave_id) return -1;
    Ref master_id = path(handler_, {binding::names().master, binding::names().session, binding::names().connection_id,
                                    binding::names().value});
    if (!master_id) return -1;
    const int differs = PyObject_RichCompareBool(slave_id.get(), master_id.get(), Py_NE);
    if (differs <= 0) return differs < 0 ? -1 : 1;
    mismatch = Ref::steal(
        PyUnicode_FromFormat("Connection id exchanged does not match %S != %S", slave_id.get(), master_id.get()));
    return mismatch ? 0 : -1;
}

namespace {

// The report text of a slave reset, naming the error code of the slave node's session (any
// object with `error` or `error_id`).
Ref slave_reset_text(PyObject* session) {
    Ref error = attr(session, binding::names().error);
    if (error) {
        Ref error_name = attr(error.get(), binding::names().name);
        if (!error_name) return {};
        return Ref::steal(
            PyUnicode_FromFormat("Connection was reset by the slave (slave reported error %S)", error_name.get()));
    }
    // A code that is no FSOEError member is named by its number.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
    PyErr_Clear();
    Ref code = path(session, {binding::names().error_id, binding::names().value});
    if (!code) return {};
    return Ref::steal(PyUnicode_FromFormat("Connection was reset by the slave (slave reported error %S)", code.get()));
}

}  // namespace

bool HostPort::slave_reset_message(Text& out) {
    Ref session = path(handler_, {binding::names().slave, binding::names().session});
    if (!session) return false;
    out = slave_reset_text(session.get());
    return static_cast<bool>(out);
}

bool HostPort::reply_oversized() const {
    return master::is_handler(handler_) && master::as_handler(handler_)->reply_oversized;
}

int HostPort::reply_size_matches() {
    Ref frame = path(handler_, {binding::names().slave, binding::names().frame});
    if (!frame) return -1;
    Ref received_size = attr(frame.get(), binding::names().safe_data_size_bytes);
    if (!received_size) return -1;
    Ref expected_size = path(handler_,
                             {binding::names().slave, binding::names().dictionary_map, binding::names().safety_bytes});
    if (!expected_size) return -1;
    return PyObject_RichCompareBool(received_size.get(), expected_size.get(), Py_EQ);
}

int HostPort::slave_last_crc0_known() {
    Ref last_crc0 = path(handler_, {binding::names().slave, binding::names()._last_crc0_sent});
    return last_crc0 ? last_crc0.get() != Py_None : -1;
}

int HostPort::check_slave_crcs(bool cyclic) {
    Ref frame = path(handler_, {binding::names().slave, binding::names().frame});
    if (!frame) return -1;
    if (!cyclic) return py::truth(py::call(frame.get(), binding::names().check_crcs));
    Ref last_crc0 = path(handler_, {binding::names().slave, binding::names()._last_crc0_sent});
    return last_crc0 ? py::truth(py::call(frame.get(), binding::names().check_crcs_cyclic, {last_crc0.get()})) : -1;
}

// ---- handler -------------------------------------------------------------------------------

bool HostPort::log(core::Transition t) { return trace::transition(states::transition_name(t)); }

bool HostPort::report_text(core::Transition t, PyObject* message) {
    if (master::HandlerObject* h = exact_handler(handler_))
        return master::report_error(h, states::transition_name(t), message);
    PyObject* args[] = {handler_, states::transition_name(t), message};
    return Ref::steal(PyObject_VectorcallMethod(binding::names()._report_error, args,
                                                3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
        .get();
}

bool HostPort::report(core::Transition t, core::Message message) {
    return report_text(t, states::message_text(message));
}

bool HostPort::report(core::Transition t, const Text& message) { return report_text(t, message.get()); }

bool HostPort::set_flag(core::Flag flag, bool value) {
    return py::set(handler_, flag_name(flag), value ? Py_True : Py_False);
}

int HostPort::get_flag(core::Flag flag) {
    Ref value = attr(handler_, flag_name(flag));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

bool HostPort::set_data_command_failsafe() {
    Ref member = command_member(core::Command::failsafe_data);
    return member && py::set(handler_, binding::names()._data_command, member.get());
}

bool HostPort::activate_watchdog() {
    Ref watchdog = attr(handler_, binding::names()._watchdog);
    return watchdog && master::activate_for_reaction(watchdog.get());
}

bool HostPort::create_session_id() {
    if (master::HandlerObject* h = exact_handler(handler_)) return master::create_session_id(h);
    return py::run(handler_, binding::names()._create_session_id);
}

int HostPort::dynamic_map_pending() {
    if (master::HandlerObject* h = exact_handler(handler_)) return master::dynamic_map_pending(h);
    return py::truth(py::call(handler_, binding::names()._dynamic_map_pending));
}

// ---- nodes, sessions, maps -----------------------------------------------------------------

bool HostPort::set_inputs_to_failsafe() {
    Ref dictionary = attr(handler_, binding::names().dictionary);
    return dictionary && py::run(dictionary.get(), binding::names()._set_inputs_to_failsafe);
}

bool HostPort::set_master_error(PyObject* error) {
    Ref session = path(handler_, {binding::names().master, binding::names().session});
    return session && py::set(session.get(), binding::names().error, error);
}

bool HostPort::set_master_error(core::ErrorCode code) {
    Ref member = Ref::steal(states::base_error(code));
    return member && set_master_error(member.get());
}

bool HostPort::clear_dynamic_map(Side side) {
    Ref map = path(handler_, {side_name(side), binding::names()._dynamic_map});
    return map && map_clear(map.get());
}

bool HostPort::add_session_item(Side side, core::SessionField field) {
    Ref node_ = node(side);
    if (!node_) return false;
    Ref map = attr(node_.get(), binding::names()._dynamic_map);
    if (!map) return false;
    Ref item = path(node_.get(), {binding::names().session, session_field_name(field)});
    return item && map_add(map.get(), item.get());
}

bool HostPort::clear_master_last_crc0() {
    Ref master = node(Side::master);
    return master && py::set(master.get(), binding::names()._last_crc0_sent, Py_None);
}

int HostPort::slave_echo_correct() {
    Ref slave_map = path(handler_, {binding::names().slave, binding::names()._dynamic_map});
    if (!slave_map) return -1;
    Ref master_map = path(handler_, {binding::names().master, binding::names()._dynamic_map});
    if (!master_map) return -1;
    PyObject* args[] = {slave_map.get(), master_map.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, binding::names().expected_map));
    if (!kwnames) return -1;
    return py::truth(
        Ref::steal(PyObject_VectorcallMethod(binding::names().is_safedata_correct, args, 1, kwnames.get())));
}

bool HostPort::map_master_outputs() {
    Ref command = attr(handler_, binding::names()._data_command);
    if (!command) return false;
    Ref master = node(Side::master);
    if (!master) return false;
    Ref frame = attr(master.get(), binding::names().frame);
    if (!frame) return false;
    Ref control = attr(frame.get(), binding::names().control);
    if (!control || !py::set(control.get(), binding::names().command, command.get())) return false;
    Ref map = attr(master.get(), binding::names().dictionary_map);
    return map && py::run(map.get(), binding::names()._set_data_to_frame, {frame.get()});
}

bool HostPort::read_slave_inputs() {
    Ref slave = node(Side::slave);
    if (!slave) return false;
    Ref map = attr(slave.get(), binding::names().dictionary_map);
    if (!map) return false;
    Ref frame = attr(slave.get(), binding::names().frame);
    return frame && py::run(map.get(), binding::names()._get_data_from_frame, {frame.get()});
}

namespace {

// Calls `each(item)` for every item of the iterable `items`.
template <typename Each>
bool for_each(PyObject* items, Each&& each) {
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
        if (!each(item.get())) return false;
    return !PyErr_Occurred();
}

// The three communication parameters of a session, in the order they are sent.
std::array<PyObject*, 3> parameter_fields() {
    const binding::Names& n = binding::names();
    return {n.comm_parameter_size_bytes, n.watchdog_ms, n.app_parameter_size_bytes};
}

}  // namespace

bool HostPort::set_master_parameter_sizes() {
    Ref master = node(Side::master);
    if (!master) return false;
    Ref session = attr(master.get(), binding::names().session);
    if (!session) return false;
    Ref comm_size = attr(session.get(), binding::names().comm_parameter_size_bytes);
    if (!comm_size || !set_value(comm_size.get(), 2)) return false;
    Ref parameters = attr(master.get(), binding::names().application_parameters);
    if (!parameters) return false;
    Ref total = Ref::steal(PyLong_FromLong(0));
    if (!total || !for_each(parameters.get(), [&](PyObject* parameter) {
            Ref n_bytes = attr(parameter, binding::names().n_bytes);
            if (!n_bytes) return false;
            total = Ref::steal(PyNumber_Add(total.get(), n_bytes.get()));
            return static_cast<bool>(total);
        }))
        return false;
    Ref app_size = attr(session.get(), binding::names().app_parameter_size_bytes);
    return app_size && set_value(app_size.get(), total.get());
}

bool HostPort::clear_slave_parameters() {
    Ref slave = node(Side::slave);
    if (!slave) return false;
    Ref session = attr(slave.get(), binding::names().session);
    if (!session) return false;
    for (PyObject* field : parameter_fields()) {
        Ref item = attr(session.get(), field);
        if (!item || !set_value(item.get(), 0L)) return false;
    }
    Ref parameters = attr(slave.get(), binding::names().application_parameters);
    return parameters && for_each(parameters.get(), [](PyObject* parameter) { return set_value(parameter, 0L); });
}

bool HostPort::map_parameters(Side side) {
    Ref node_ = node(side);
    return node_ && ports::map_parameters(node_.get());
}

bool map_parameters(PyObject* node) {
    Ref map = attr(node, binding::names()._dynamic_map);
    if (!map || !map_clear(map.get())) return false;
    Ref session = attr(node, binding::names().session);
    if (!session) return false;
    for (PyObject* field : parameter_fields()) {
        Ref item = attr(session.get(), field);
        if (!item || !map_add(map.get(), item.get())) return false;
    }
    Ref parameters = attr(node, binding::names().application_parameters);
    return parameters && for_each(parameters.get(), [&](PyObject* parameter) { return map_add(map.get(), parameter); });
}

// ---- the state object ----------------------------------------------------------------------

bool HostPort::self_is(core::State state) const { return self_class() == static_cast<int>(state); }

int HostPort::self_class() const { return states::own_state_id(self_); }

HostPort::Next HostPort::call_action(core::Transition t) {
    return Ref::steal(PyObject_CallMethodNoArgs(self_, states::action_method_name(t)));
}

HostPort::Next HostPort::call_reset_session() {
    return Ref::steal(PyObject_CallMethodNoArgs(self_, binding::names()._reset_session));
}

int HostPort::call_check_received_crcs() {
    return py::truth(Ref::steal(PyObject_CallMethodNoArgs(self_, binding::names()._check_received_crcs)));
}

bool HostPort::call_map_frame() { return call_private(self_, binding::names().map_frame); }

bool HostPort::call_calculate_master_size_bytes() {
    return call_private(self_, binding::names()._StateParameter__calculate_master_size_bytes);
}

bool HostPort::call_clear_slave_parameters() {
    return call_private(self_, binding::names()._StateParameter__clear_slave_parameters);
}

bool HostPort::call_map_node(Side side) {
    Ref node_ = node(side);
    return node_ && call_private(self_, binding::names()._StateParameter__map_node, node_.get());
}

}  // namespace tamsel::ports

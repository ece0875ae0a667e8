#include "states/context.hpp"

#include "binding/host_calls.hpp"
#include "binding/module_state.hpp"
#include "data/dictionary_object.hpp"
#include "frame/control.hpp"
#include "mapping/map_object.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "master/data_cycle.hpp"
#include "binding/reaction.hpp"
#include "master/watchdog.hpp"

#include <initializer_list>

namespace tamsel::states {

namespace {

// The C++ slot behind `obj.name` when `obj` is exactly one of the module's handler, node or
// session classes (whose slot attributes are data descriptors, so nothing can shadow them);
// null otherwise. Borrowed; sets no exception.
PyObject* own_slot(PyObject* obj, PyObject* name) {
    if (Py_IS_TYPE(obj, master::session_type())) {
        const master::SessionObject* s = master::as_session(obj);
        if (name == binding::names().slave_address) return s->slave_address;
        if (name == binding::names().session_id) return s->session_id;
        if (name == binding::names().error_id) return s->error_id;
        if (name == binding::names().connection_id) return s->connection_id;
        if (name == binding::names().comm_parameter_size_bytes) return s->comm_parameter_size_bytes;
        if (name == binding::names().watchdog_ms) return s->watchdog_ms;
        if (name == binding::names().app_parameter_size_bytes) return s->app_parameter_size_bytes;
    } else if (Py_IS_TYPE(obj, master::node_type())) {
        const master::NodeObject* n = master::as_node(obj);
        if (name == binding::names().frame) return n->frame;
        if (name == binding::names().session) return n->session;
        if (name == binding::names().dictionary_map) return n->dictionary_map;
        if (name == binding::names()._dynamic_map) return n->dynamic_map;
        if (name == binding::names().application_parameters) return n->application_parameters;
    } else if (master::is_exact_handler(obj)) {
        const master::HandlerObject* h = master::as_handler(obj);
        if (name == binding::names().master) return h->master;
        if (name == binding::names().slave) return h->slave;
        if (name == binding::names().dictionary) return h->dictionary;
        if (name == binding::names()._watchdog) return h->watchdog;
        if (name == binding::names()._data_command) return h->data_command;
    }
    return nullptr;
}

Ref attr(PyObject* obj, PyObject* name) {
    if (PyObject* slot = own_slot(obj, name)) return Ref::borrow(slot);
    return Ref::steal(PyObject_GetAttr(obj, name));
}

bool is_exact_dynamic_item(PyObject* obj) {
    return Py_IS_TYPE(obj, binding::as_type(binding::state().DynamicMappableItem));
}

// item.value = value
bool set_value(PyObject* item, long value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    if (!number) return false;
    if (is_exact_dynamic_item(item))
        return mapping::dynamic_item_set(mapping::as_dynamic_item(item), number.get()) == 0;
    return PyObject_SetAttr(item, binding::names().value, number.get()) == 0;
}

// The dynamic map's clear() and add(item), natively for an FSOEDynamicMap.
bool map_clear(PyObject* map) {
    if (mapping::is_dynamic_map(map)) return mapping::dynamic_map_clear(mapping::as_dynamic_map(map)) == 0;
    return Ref::steal(PyObject_CallMethodNoArgs(map, binding::names().clear)).get();
}

bool map_add(PyObject* map, PyObject* item) {
    if (mapping::is_dynamic_map(map)) return mapping::dynamic_map_add(mapping::as_dynamic_map(map), item) == 0;
    return Ref::steal(PyObject_CallMethodOneArg(map, binding::names().add, item)).get();
}

// obj.n1.n2..., each step through the module's own slots where it can; null with an
// exception set when a step fails.
Ref path(PyObject* obj, std::initializer_list<PyObject*> steps) { return py::path(obj, steps, attr); }

PyObject* side_name(Side side) { return side == Side::master ? binding::names().master : binding::names().slave; }

Ref command_member(Command command) {
    PyObject* name = nullptr;
    switch (command) {
        case Command::reset: name = binding::names().RESET; break;
        case Command::session: name = binding::names().SESSION; break;
        case Command::connection: name = binding::names().CONNECTION; break;
        case Command::parameter: name = binding::names().PARAMETER; break;
        case Command::process_data: name = binding::names().PROCESS_DATA; break;
        case Command::failsafe_data: name = binding::names().FAILSAFE_DATA; break;
        case Command::invalid:
        case Command::other: break;
    }
    if (!name) {
        PyErr_SetString(PyExc_SystemError, "no FSOECommand member for this command");
        return {};
    }
    return attr(binding::state().FSOECommand.get(), name);
}

uint16_t command_code(Command command) {
    switch (command) {
        case Command::reset: return frame::command::reset;
        case Command::session: return frame::command::session;
        case Command::connection: return frame::command::connection;
        case Command::parameter: return frame::command::parameter;
        case Command::process_data: return frame::command::process_data;
        case Command::failsafe_data: return frame::command::failsafe_data;
        case Command::invalid:
        case Command::other: break;
    }
    return 0;
}

Command classify(uint16_t code) {
    switch (code) {
        case frame::command::reset: return Command::reset;
        case frame::command::session: return Command::session;
        case frame::command::connection: return Command::connection;
        case frame::command::parameter: return Command::parameter;
        case frame::command::process_data: return Command::process_data;
        case frame::command::failsafe_data: return Command::failsafe_data;
        default: return Command::invalid;
    }
}

}  // namespace

master::NodeObject* Context::fast_node(Side side) const noexcept {
    if (!fast_) return nullptr;
    PyObject* node = side == Side::master ? fast_->master : fast_->slave;
    return node && Py_IS_TYPE(node, binding::as_type(module_->Node)) ? master::as_node(node) : nullptr;
}

frame::FrameObject* Context::fast_frame(Side side) const noexcept {
    master::NodeObject* node = fast_node(side);
    return node && Py_IS_TYPE(node->frame, binding::as_type(module_->FSOEFrame))
               ? reinterpret_cast<frame::FrameObject*>(node->frame)
               : nullptr;
}

PyObject* Context::fast_session_item(Side side, PyObject* master::SessionObject::* field) const noexcept {
    master::NodeObject* node = fast_node(side);
    if (!node || !node->session || !Py_IS_TYPE(node->session, binding::as_type(module_->Session))) return nullptr;
    return master::as_session(node->session)->*field;
}

bool* Context::fast_flag(PyObject* name) const noexcept {
    if (!fast_) return nullptr;
    if (name == binding::names()._generate_crcs_cyclic_for_next_frame)
        return &fast_->generate_crcs_cyclic_for_next_frame;
    if (name == binding::names()._reset_slave_sequence_number_after_frame)
        return &fast_->reset_slave_sequence_number_after_frame;
    if (name == binding::names()._second_session_frame_sent) return &fast_->second_session_frame_sent;
    return nullptr;
}

Ref Context::node(Side side) { return attr(handler_, side_name(side)); }

bool Context::set_control_word(Side side, uint16_t frame::FrameControl::* field, PyObject* name, long value) {
    if (frame::FrameObject* f = fast_frame(side)) {
        f->frame.control.*field = static_cast<uint16_t>(value);
        return true;
    }
    Ref control = path(handler_, {side_name(side), binding::names().frame, binding::names().control});
    return control && py::set_new(control.get(), name, PyLong_FromLong(value));
}

bool Context::set_crc0(Side side, long value) {
    return set_control_word(side, &frame::FrameControl::crc0, binding::names().crc0, value);
}

bool Context::set_sequence_number(Side side, long value) {
    return set_control_word(side, &frame::FrameControl::sequence_number, binding::names().sequence_number, value);
}

bool Context::set_master_command(Command command) {
    if (frame::FrameObject* f = fast_frame(Side::master)) {
        f->frame.control.command = command_code(command);
        return true;
    }
    Ref member = command_member(command);
    if (!member) return false;
    Ref control = path(handler_, {binding::names().master, binding::names().frame, binding::names().control});
    return control && py::set(control.get(), binding::names().command, member.get());
}

bool Context::slave_command(Command& out) {
    if (frame::FrameObject* f = fast_frame(Side::slave)) {
        out = classify(f->frame.control.command);
        return true;
    }
    Ref control = path(handler_, {binding::names().slave, binding::names().frame, binding::names().control});
    if (!control) return false;
    int valid = py::truth(py::call(control.get(), binding::names().command_is_valid));
    if (valid < 0) return false;
    if (!valid) {
        out = Command::invalid;
        return true;
    }
    Ref command = attr(control.get(), binding::names().command);
    if (!command) return false;
    for (Command candidate : {Command::reset, Command::session, Command::connection, Command::parameter,
                              Command::process_data, Command::failsafe_data}) {
        Ref member = command_member(candidate);
        if (!member) return false;
        int equal = PyObject_RichCompareBool(command.get(), member.get(), Py_EQ);
        if (equal < 0) return false;
        if (equal) {
            out = candidate;
            return true;
        }
    }
    out = Command::other;
    return true;
}

int Context::connection_id_matches(Ref& message) {
    uint16_t own_id = 0;
    frame::FrameObject* slave_frame = fast_frame(Side::slave);
    if (slave_frame &&
        mapping::exact_uint16_value(fast_session_item(Side::master, &master::SessionObject::connection_id), own_id)) {
        unsigned received_id = slave_frame->frame.control.connection_id;
        if (received_id == own_id) return 1;
        message = Ref::steal(PyUnicode_FromFormat("Connection id exchanged does not match %u != %u", received_id,
                                                  static_cast<unsigned>(own_id)));
        return message ? 0 : -1;
    }
    Ref slave_id = path(handler_, {binding::names().slave, binding::names().frame, binding::names().control,
                                   binding::names().connection_id});
    if (!slave_id) return -1;
    Ref master_id = path(handler_, {binding::names().master, binding::names().session, binding::names().connection_id,
                                    binding::names().value});
    if (!master_id) return -1;
    int differs = PyObject_RichCompareBool(slave_id.get(), master_id.get(), Py_NE);
    if (differs <= 0) return differs < 0 ? -1 : 1;
    message = Ref::steal(
        PyUnicode_FromFormat("Connection id exchanged does not match %S != %S", slave_id.get(), master_id.get()));
    return message ? 0 : -1;
}

Ref Context::slave_reset_message() {
    Ref session = path(handler_, {binding::names().slave, binding::names().session});
    if (!session) return {};
    Ref error = attr(session.get(), binding::names().error);
    if (error) {
        Ref error_name = attr(error.get(), binding::names().name);
        if (!error_name) return {};
        return Ref::steal(
            PyUnicode_FromFormat("Connection was reset by the slave (slave reported error %S)", error_name.get()));
    }
    // A code that is no FSOEError member is named by its number.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
    PyErr_Clear();
    Ref code = path(session.get(), {binding::names().error_id, binding::names().value});
    if (!code) return {};
    return Ref::steal(PyUnicode_FromFormat("Connection was reset by the slave (slave reported error %S)", code.get()));
}

bool Context::set_data_command_failsafe() {
    Ref member = command_member(Command::failsafe_data);
    if (!member) return false;
    if (fast_) {
        binding::assign(fast_->data_command, member.get());
        return true;
    }
    return py::set(handler_, binding::names()._data_command, member.get());
}

bool Context::set_flag(PyObject* name, bool value) {
    if (bool* flag = fast_flag(name)) {
        *flag = value;
        return true;
    }
    return py::set(handler_, name, value ? Py_True : Py_False);
}

int Context::get_flag(PyObject* name) {
    if (bool* flag = fast_flag(name)) return *flag;
    Ref value = attr(handler_, name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

bool Context::activate_watchdog() {
    Ref watchdog = fast_ ? Ref::borrow(master::handler_field(fast_->watchdog, "_watchdog"))
                         : attr(handler_, binding::names()._watchdog);
    if (!watchdog) return false;
    if (master::call_watchdog(watchdog.get(), master::WatchdogOperation::activate_and_reset)) return true;
    // A watchdog stopped while its own expiry ran (delete() from a callback, the program
    // ending) has nothing left to supervise: the reaction completes without it.
    if (master::watchdog_stopped_during_current_expiry(watchdog.get())) {
        PyErr_Clear();
        return true;
    }
    // Otherwise the reaction completes all the same and the failure propagates at its end.
    return binding::Reaction::keep_raised();
}

bool Context::create_session_id() {
    return fast_ ? master::create_session_id(fast_) : py::run(handler_, binding::names()._create_session_id);
}

int Context::dynamic_map_pending() {
    return fast_ ? master::dynamic_map_pending(fast_)
                 : py::truth(py::call(handler_, binding::names()._dynamic_map_pending));
}

bool Context::report(Transition t, PyObject* message) {
    if (fast_) return master::report_error(fast_, transition_name(t), message);
    PyObject* args[] = {handler_, transition_name(t), message};
    return Ref::steal(PyObject_VectorcallMethod(binding::names()._report_error, args,
                                                3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
        .get();
}

bool Context::set_inputs_to_failsafe() {
    if (fast_ && fast_->dictionary && data::is_dictionary(fast_->dictionary))
        return data::set_inputs_to_failsafe(fast_->dictionary);
    Ref dictionary = attr(handler_, binding::names().dictionary);
    return dictionary && py::run(dictionary.get(), binding::names()._set_inputs_to_failsafe);
}

bool Context::set_master_error(PyObject* error) {
    Ref session = path(handler_, {binding::names().master, binding::names().session});
    return session && py::set(session.get(), binding::names().error, error);
}

bool Context::set_master_error(ErrorCode code) {
    Ref member = Ref::steal(base_error(code));
    return member && set_master_error(member.get());
}

bool Context::clear_dynamic_map(Side side) {
    Ref map = path(handler_, {side_name(side), binding::names()._dynamic_map});
    return map && map_clear(map.get());
}

bool Context::add_session_item(Side side, PyObject* field) {
    Ref node_ = node(side);
    if (!node_) return false;
    Ref map = attr(node_.get(), binding::names()._dynamic_map);
    if (!map) return false;
    Ref item = path(node_.get(), {binding::names().session, field});
    return item && map_add(map.get(), item.get());
}

bool Context::clear_master_last_crc0() {
    if (master::NodeObject* n = fast_node(Side::master)) {
        n->last_crc0_sent.reset();
        return true;
    }
    Ref master = node(Side::master);
    return master && py::set(master.get(), binding::names()._last_crc0_sent, Py_None);
}

int Context::slave_echo_correct() {
    master::NodeObject* slave_node = fast_node(Side::slave);
    master::NodeObject* master_node = fast_node(Side::master);
    if (slave_node && master_node && mapping::is_dynamic_map(slave_node->dynamic_map))
        return mapping::dynamic_map_is_safedata_correct(mapping::as_dynamic_map(slave_node->dynamic_map),
                                                        master_node->dynamic_map);
    Ref slave_map = path(handler_, {binding::names().slave, binding::names()._dynamic_map});
    if (!slave_map) return -1;
    Ref master_map = path(handler_, {binding::names().master, binding::names()._dynamic_map});
    if (!master_map) return -1;
    PyObject* args[] = {slave_map.get(), master_map.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, binding::names().expected_map));
    if (!kwnames) return -1;
    Ref result = Ref::steal(PyObject_VectorcallMethod(binding::names().is_safedata_correct, args, 1, kwnames.get()));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int Context::check_received_crcs() {
    // A reply longer than any frame image was parsed from its first bytes only: it carries
    // another safe-data size than this connection's, so nothing in it is verified.
    if (master::is_handler(handler_) && master::as_handler(handler_)->reply_oversized) return 0;
    if (frame::FrameObject* f = fast_frame(Side::slave)) {
        master::NodeObject* n = fast_node(Side::slave);
        long size = 0;
        if (mapping::is_exact_map(n->dictionary_map)) {
            size = mapping::safety_bytes(*mapping::as_map(n->dictionary_map));
        } else {
            Ref expected_size = attr(n->dictionary_map, binding::names().safety_bytes);
            if (!expected_size) return -1;
            size = PyLong_AsLong(expected_size.get());
            if (size == -1 && PyErr_Occurred()) return -1;
        }
        if (f->frame.safe_data_size != size) return 0;
        Ref keep = Ref::borrow(n->frame);  // the trace may run host code that rebinds the frame
        return n->last_crc0_sent ? frame::check_crcs_cyclic(*f, *n->last_crc0_sent) : frame::check_crcs(*f);
    }
    Ref slave = node(Side::slave);
    if (!slave) return -1;
    Ref frame = attr(slave.get(), binding::names().frame);
    if (!frame) return -1;
    // A reply of another safe-data size than the frame was given at start carries no
    // verifiable data for this connection.
    Ref received_size = attr(frame.get(), binding::names().safe_data_size_bytes);
    if (!received_size) return -1;
    Ref expected_size = path(slave.get(), {binding::names().dictionary_map, binding::names().safety_bytes});
    if (!expected_size) return -1;
    int same = PyObject_RichCompareBool(received_size.get(), expected_size.get(), Py_EQ);
    if (same <= 0) return same;
    Ref last_crc0 = attr(slave.get(), binding::names()._last_crc0_sent);
    if (!last_crc0) return -1;
    Ref result = Ref::steal(
        last_crc0.get() == Py_None
            ? PyObject_CallMethodNoArgs(frame.get(), binding::names().check_crcs)
            : PyObject_CallMethodOneArg(frame.get(), binding::names().check_crcs_cyclic, last_crc0.get()));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

bool Context::map_master_outputs() {
    if (frame::FrameObject* f = fast_frame(Side::master))
        return master::data_cycle::map_outputs(fast_, fast_node(Side::master), f);
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

bool Context::read_slave_inputs() {
    if (frame::FrameObject* f = fast_frame(Side::slave)) {
        master::NodeObject* n = fast_node(Side::slave);
        if (mapping::is_exact_map(n->dictionary_map)) return master::data_cycle::read_inputs(n, f);
    }
    Ref slave = node(Side::slave);
    if (!slave) return false;
    Ref map = attr(slave.get(), binding::names().dictionary_map);
    if (!map) return false;
    Ref frame = attr(slave.get(), binding::names().frame);
    return frame && py::run(map.get(), binding::names()._get_data_from_frame, {frame.get()});
}

bool Context::set_master_parameter_sizes() {
    Ref master = node(Side::master);
    if (!master) return false;
    Ref session = attr(master.get(), binding::names().session);
    if (!session) return false;
    Ref comm_size = attr(session.get(), binding::names().comm_parameter_size_bytes);
    if (!comm_size || !set_value(comm_size.get(), 2)) return false;
    Ref parameters = attr(master.get(), binding::names().application_parameters);
    if (!parameters) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(parameters.get()));
    if (!iterator) return false;
    Ref total = Ref::steal(PyLong_FromLong(0));
    if (!total) return false;
    while (Ref parameter = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref n_bytes = attr(parameter.get(), binding::names().n_bytes);
        if (!n_bytes) return false;
        total = Ref::steal(PyNumber_Add(total.get(), n_bytes.get()));
        if (!total) return false;
    }
    if (PyErr_Occurred()) return false;
    Ref app_size = attr(session.get(), binding::names().app_parameter_size_bytes);
    if (!app_size) return false;
    if (is_exact_dynamic_item(app_size.get()))
        return mapping::dynamic_item_set(mapping::as_dynamic_item(app_size.get()), total.get()) == 0;
    return py::set(app_size.get(), binding::names().value, total.get());
}

bool Context::clear_slave_parameters() {
    Ref slave = node(Side::slave);
    if (!slave) return false;
    Ref session = attr(slave.get(), binding::names().session);
    if (!session) return false;
    for (PyObject* field : {binding::names().comm_parameter_size_bytes, binding::names().watchdog_ms,
                            binding::names().app_parameter_size_bytes}) {
        Ref item = attr(session.get(), field);
        if (!item || !set_value(item.get(), 0)) return false;
    }
    Ref parameters = attr(slave.get(), binding::names().application_parameters);
    if (!parameters) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(parameters.get()));
    if (!iterator) return false;
    while (Ref parameter = Ref::steal(PyIter_Next(iterator.get())))
        if (!set_value(parameter.get(), 0)) return false;
    return !PyErr_Occurred();
}

bool Context::map_parameters(PyObject* node_) {
    Ref map = attr(node_, binding::names()._dynamic_map);
    if (!map || !map_clear(map.get())) return false;
    Ref session = attr(node_, binding::names().session);
    if (!session) return false;
    for (PyObject* field : {binding::names().comm_parameter_size_bytes, binding::names().watchdog_ms,
                            binding::names().app_parameter_size_bytes}) {
        Ref item = attr(session.get(), field);
        if (!item || !map_add(map.get(), item.get())) return false;
    }
    Ref parameters = attr(node_, binding::names().application_parameters);
    if (!parameters) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(parameters.get()));
    if (!iterator) return false;
    while (Ref parameter = Ref::steal(PyIter_Next(iterator.get())))
        if (!map_add(map.get(), parameter.get())) return false;
    return !PyErr_Occurred();
}

}  // namespace tamsel::states

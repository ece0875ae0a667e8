#include "ports/attributes.hpp"

#include "binding/module_state.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "handler/handler_object.hpp"
#include "nodes/node_object.hpp"

namespace tamsel::ports {

namespace {

// The C++ slot behind `obj.name` when `obj` is exactly the module's handler, node or session
// class; null otherwise. Borrowed; sets no exception.
PyObject* own_slot(PyObject* obj, PyObject* name) {
    const binding::Names& n = binding::names();
    if (Py_IS_TYPE(obj, master::session_type())) {
        const master::SessionObject* s = master::as_session(obj);
        if (name == n.slave_address) return s->slave_address;
        if (name == n.session_id) return s->session_id;
        if (name == n.error_id) return s->error_id;
        if (name == n.connection_id) return s->connection_id;
        if (name == n.comm_parameter_size_bytes) return s->comm_parameter_size_bytes;
        if (name == n.watchdog_ms) return s->watchdog_ms;
        if (name == n.app_parameter_size_bytes) return s->app_parameter_size_bytes;
    } else if (Py_IS_TYPE(obj, master::node_type())) {
        const master::NodeObject* node = master::as_node(obj);
        if (name == n.frame) return node->frame;
        if (name == n.session) return node->session;
        if (name == n.dictionary_map) return node->dictionary_map;
        if (name == n._dynamic_map) return node->dynamic_map;
        if (name == n.application_parameters) return node->application_parameters;
    } else if (master::is_exact_handler(obj)) {
        const master::HandlerObject* h = master::as_handler(obj);
        if (name == n.master) return h->master;
        if (name == n.slave) return h->slave;
        if (name == n.dictionary) return h->dictionary;
        if (name == n._watchdog) return h->watchdog;
        if (name == n._data_command) return h->data_command;
    }
    return nullptr;
}

}  // namespace

Ref attr(PyObject* obj, PyObject* name) {
    if (PyObject* slot = own_slot(obj, name)) return Ref::borrow(slot);
    return Ref::steal(PyObject_GetAttr(obj, name));
}

Ref path(PyObject* obj, std::initializer_list<PyObject*> steps) { return py::path(obj, steps, attr); }

PyObject* side_name(core::Side side) {
    return side == core::Side::master ? binding::names().master : binding::names().slave;
}

PyObject* session_field_name(core::SessionField field) {
    switch (field) {
        case core::SessionField::slave_address: return binding::names().slave_address;
        case core::SessionField::session_id: return binding::names().session_id;
        case core::SessionField::error_id: return binding::names().error_id;
        case core::SessionField::connection_id: break;
    }
    return binding::names().connection_id;
}

PyObject* flag_name(core::Flag flag) {
    switch (flag) {
        case core::Flag::second_session_frame_sent: return binding::names()._second_session_frame_sent;
        case core::Flag::reset_slave_sequence_number_after_frame:
            return binding::names()._reset_slave_sequence_number_after_frame;
        case core::Flag::generate_crcs_cyclic_for_next_frame: break;
    }
    return binding::names()._generate_crcs_cyclic_for_next_frame;
}

Ref command_member(core::Command command) {
    PyObject* name = nullptr;
    switch (command) {
        case core::Command::reset: name = binding::names().RESET; break;
        case core::Command::session: name = binding::names().SESSION; break;
        case core::Command::connection: name = binding::names().CONNECTION; break;
        case core::Command::parameter: name = binding::names().PARAMETER; break;
        case core::Command::process_data: name = binding::names().PROCESS_DATA; break;
        case core::Command::failsafe_data: name = binding::names().FAILSAFE_DATA; break;
        case core::Command::invalid:
        case core::Command::other: break;
    }
    if (!name) {
        PyErr_SetString(PyExc_SystemError, "no FSOECommand member for this command");
        return {};
    }
    return attr(binding::state().FSOECommand.get(), name);
}

bool set_value(PyObject* item, PyObject* value) {
    if (Py_IS_TYPE(item, binding::as_type(binding::state().DynamicMappableItem)))
        return mapping::dynamic_item_set(mapping::as_dynamic_item(item), value) == 0;
    return py::set(item, binding::names().value, value);
}

bool set_value(PyObject* item, long value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number && set_value(item, number.get());
}

bool map_clear(PyObject* map) {
    if (mapping::is_dynamic_map(map)) return mapping::dynamic_map_clear(mapping::as_dynamic_map(map)) == 0;
    return Ref::steal(PyObject_CallMethodNoArgs(map, binding::names().clear)).get();
}

bool map_add(PyObject* map, PyObject* item) {
    if (mapping::is_dynamic_map(map)) return mapping::dynamic_map_add(mapping::as_dynamic_map(map), item) == 0;
    return Ref::steal(PyObject_CallMethodOneArg(map, binding::names().add, item)).get();
}

}  // namespace tamsel::ports

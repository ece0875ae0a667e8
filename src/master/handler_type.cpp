// The MasterHandler class: constructor, fields, properties and operations.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/lifecycle.hpp"
#include "binding/reaction.hpp"
#include "binding/types.hpp"
#include "master/frame_ring_type.hpp"
#include "master/handler_diagnostics.hpp"
#include "master/handler_engine.hpp"
#include "master/handler_names.hpp"
#include "master/handler_py.hpp"
#include "master/handler_type.hpp"
#include "master/watchdog.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace tamsel::master {

namespace {

using binding::Ref;

HandlerObject* H(PyObject* self) { return as_handler(self); }

// ---- construction -------------------------------------------------------------------------

struct Arguments {
    PyObject* dictionary;
    uint16_t slave_address;
    uint16_t connection_id;
    double watchdog_timeout_s;
    PyObject* application_parameters;  // list or null
    PyObject* report_error_callback;
    PyObject* state_change_callback;
    PyObject* dictionary_map_is_editable;
};

bool parse_arguments(PyObject* args, PyObject* kwargs, Arguments& out) {
    PyObject* raw[8];
    if (!binding::parse_tuple("__init__", args, kwargs,
                              {"dictionary", "slave_address", "connection_id", "watchdog_timeout_s",
                               "application_parameters", "report_error_callback", "state_change_callback",
                               "dictionary_map_is_editable"},
                              4, raw))
        return false;
    binding::ModuleState& st = binding::state();
    if (!binding::check_type(raw[0], binding::as_type(st.Dictionary), "dictionary", false)) return false;
    if (!binding::to_unsigned(raw[1], out.slave_address) || !binding::to_unsigned(raw[2], out.connection_id))
        return false;
    out.watchdog_timeout_s = PyFloat_AsDouble(raw[3]);
    if (out.watchdog_timeout_s == -1.0 && PyErr_Occurred()) return false;
    out.application_parameters = raw[4] == Py_None ? nullptr : raw[4];
    if (out.application_parameters &&
        !binding::check_type(out.application_parameters, &PyList_Type, "application_parameters", true))
        return false;
    out.dictionary = raw[0];
    out.report_error_callback = raw[5] ? raw[5] : Py_None;
    out.state_change_callback = raw[6] ? raw[6] : Py_None;
    out.dictionary_map_is_editable = raw[7] ? raw[7] : Py_True;
    return true;
}

// Node(...) with the arguments of one side of the connection.
Ref make_node(PyObject* watchdog_ms, uint16_t slave_address, uint16_t connection_id, PyObject* parameters,
              const Arguments& a, PyObject* type_a, PyObject* type_b) {
    binding::ModuleState& st = binding::state();
    Ref accepted = Ref::steal(PySet_New(nullptr));
    if (!accepted || PySet_Add(accepted.get(), type_a) < 0 || PySet_Add(accepted.get(), type_b) < 0) return {};
    Ref address = Ref::steal(PyLong_FromLong(slave_address));
    Ref id = Ref::steal(PyLong_FromLong(connection_id));
    if (!address || !id) return {};
    Ref kwnames = Ref::steal(Py_BuildValue("(sssssss)", "slave_address", "connection_id", "watchdog_ms",
                                           "application_parameters", "dictionary", "item_types_accepted",
                                           "dictionary_map_is_editable"));
    if (!kwnames) return {};
    PyObject* stack[8] = {nullptr,    address.get(), id.get(),       watchdog_ms,
                          parameters, a.dictionary,  accepted.get(), a.dictionary_map_is_editable};
    return Ref::steal(PyObject_Vectorcall(st.Node.get(), stack + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// One DynamicMappableItem(initial_value=0, data_type=param.data_type) per parameter.
Ref make_echo_parameters(PyObject* parameters) {
    Ref echoes = Ref::steal(PyList_New(0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "initial_value", "data_type"));
    if (!echoes || !zero || !kwnames) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i) {
        Ref param = Ref::borrow(PyList_GET_ITEM(parameters, i));
        Ref data_type = py::get(param.get(), names::data_type);
        if (!data_type) return {};
        PyObject* stack[3] = {nullptr, zero.get(), data_type.get()};
        Ref item = Ref::steal(PyObject_Vectorcall(binding::state().DynamicMappableItem.get(), stack + 1,
                                                  0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!item || PyList_Append(echoes.get(), item.get()) < 0) return {};
    }
    return echoes;
}

Ref make_state(PyObject* cls, PyObject* context) {
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names::context));
    if (!kwnames) return {};
    PyObject* stack[2] = {nullptr, context};
    return Ref::steal(PyObject_Vectorcall(cls, stack + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref make_watchdog(double timeout_s, PyObject* handler) {
    Ref callback = py::get(handler, names::_watchdog_expired_event);
    Ref timeout = Ref::steal(PyFloat_FromDouble(timeout_s));
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "timeout_s", "callback"));
    if (!callback || !timeout || !kwnames) return {};
    PyObject* stack[3] = {nullptr, timeout.get(), callback.get()};
    return Ref::steal(
        PyObject_Vectorcall(binding::state().Watchdog.get(), stack + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

int handler_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    HandlerObject* self = H(obj);
    Arguments a{};
    if (!parse_arguments(args, kwargs, a)) return -1;
    if (self->watchdog) {
        // A second run would start a second watchdog thread that nothing could end.
        PyErr_SetString(PyExc_RuntimeError, "MasterHandler is already initialized");
        return -1;
    }
    if (a.connection_id == 0) {
        PyErr_SetString(PyExc_ValueError, "Connection ID = 0 is not permitted");
        return -1;
    }
    if (!check_watchdog_timeout(a.watchdog_timeout_s, "watchdog_timeout_s")) return -1;
    Ref parameters = a.application_parameters ? Ref::borrow(a.application_parameters) : Ref::steal(PyList_New(0));
    if (!parameters) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
        Ref param = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
        if (!py::call(param.get(), names::_set_use_by_master, {obj})) return -1;
    }

    binding::ModuleState& st = binding::state();
    binding::assign(self->dictionary, a.dictionary);
    // The node truncates the milliseconds toward zero (and refuses them outside 0..65535).
    Ref master_ms = Ref::steal(PyFloat_FromDouble(a.watchdog_timeout_s * 1000.0));
    if (!master_ms) return -1;
    Ref master = make_node(master_ms.get(), a.slave_address, a.connection_id, parameters.get(), a,
                           st.DictionaryItemOutput.get(), st.DictionaryItemInputOutput.get());
    if (!master) return -1;
    binding::assign(self->master, master.get());
    Ref echoes = make_echo_parameters(parameters.get());
    if (!echoes) return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    Ref slave = make_node(zero.get(), 0, 0, echoes.get(), a, st.DictionaryItemInput.get(),
                          st.DictionaryItemInputOutput.get());
    if (!slave) return -1;
    binding::assign(self->slave, slave.get());

    Ref failsafe = Ref::steal(PyObject_GetAttrString(st.FSOECommand.get(), "FAILSAFE_DATA"));
    if (!failsafe) return -1;
    binding::assign(self->data_command, failsafe.get());
    Ref state = make_state(st.StateReset.get(), obj);
    if (!state) return -1;
    binding::assign(self->state, state.get());

    Ref watchdog = make_watchdog(a.watchdog_timeout_s, obj);
    if (!watchdog || !py::call(watchdog.get(), names::start)) return -1;
    binding::assign(self->watchdog, watchdog.get());

    self->initialization_data_bytes = 0;
    self->second_session_frame_sent = false;
    binding::assign(self->report_error_callback, a.report_error_callback);
    binding::assign(self->state_change_callback, a.state_change_callback);
    self->reset_slave_sequence_number_after_frame = false;
    self->generate_crcs_cyclic_for_next_frame = false;
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return -1;
    binding::assign(self->current_request, empty.get());
    binding::assign(self->last_reply, empty.get());
    self->running = false;
    self->counters.state_entered = diagnostics::wall_clock_now();
    return 0;
}

PyObject* handler_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj) new (&H(obj)->lock) HandlerLock();
    return obj;
}

// ---- object protocol ----------------------------------------------------------------------

#define TAMSEL_HANDLER_OBJECT_SLOTS(X)                                                                  \
    X(dict) X(dictionary) X(master) X(slave) X(data_command) X(state) X(watchdog) X(report_error_callback) \
    X(state_change_callback) X(current_request) X(last_reply) X(fault_counts) X(last_fault) X(recorder)

int handler_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
#define TAMSEL_VISIT(field) Py_VISIT(H(obj)->field);
    TAMSEL_HANDLER_OBJECT_SLOTS(TAMSEL_VISIT)
#undef TAMSEL_VISIT
    return 0;
}

int handler_clear(PyObject* obj) {
#define TAMSEL_CLEAR(field) Py_CLEAR(H(obj)->field);
    TAMSEL_HANDLER_OBJECT_SLOTS(TAMSEL_CLEAR)
#undef TAMSEL_CLEAR
    return 0;
}

void handler_dealloc(PyObject* obj) {
    binding::gc_dealloc(obj, [](PyObject* obj) {
        if (H(obj)->weakrefs) PyObject_ClearWeakRefs(obj);
        handler_clear(obj);
        H(obj)->lock.~HandlerLock();
    });
}

// ---- fields and properties ----------------------------------------------------------------

// Setter result for `del` on a handler field.
int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
    return -1;
}

template <bool HandlerObject::*Field>
PyObject* get_flag(PyObject* obj, void*) {
    return PyBool_FromLong(H(obj)->*Field);
}

template <bool HandlerObject::*Field>
int set_flag(PyObject* obj, PyObject* value, void*) {
    if (!value) return refuse_delete();
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    H(obj)->*Field = truth != 0;
    return 0;
}

PyObject* get_initialization_bytes(PyObject* obj, void*) { return PyLong_FromLong(H(obj)->initialization_data_bytes); }

int set_initialization_bytes(PyObject* obj, PyObject* value, void*) {
    if (!value) return refuse_delete();
    if (!binding::check_type(value, &PyLong_Type, "value", true)) return -1;
    long bytes = PyLong_AsLong(value);
    if (bytes == -1 && PyErr_Occurred()) return -1;
    H(obj)->initialization_data_bytes = bytes;
    return 0;
}

PyObject* get_state_class(PyObject* obj, void*) {
    PyObject* state = handler_field(H(obj)->state, "_state");
    return state ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(state))) : nullptr;
}

PyObject* get_statistics(PyObject* obj, void*) { return diagnostics::statistics_snapshot(H(obj)); }

PyGetSetDef handler_getsets[] = {
    TAMSEL_DICT_GETSET,
    {"running", get_flag<&HandlerObject::running>, nullptr, "Indicates if the FSoE connection is running", nullptr},
    {"state", get_state_class, nullptr, "Class of the current state of the master", nullptr},
    {"initialization_data_bytes", get_initialization_bytes, nullptr,
     "Number of safe-data bytes carried per frame outside the Data state", nullptr},
    {"statistics", get_statistics, nullptr,
     "Snapshot of the handler's counters: replies, requests, faults by transition name, watchdog expiries, "
     "connections, slave resets, the last fault and when the current state was entered",
     nullptr},
    {"_MasterHandler__running", get_flag<&HandlerObject::running>, set_flag<&HandlerObject::running>, nullptr, nullptr},
    {"_MasterHandler__initialization_data_bytes", get_initialization_bytes, set_initialization_bytes, nullptr, nullptr},
    {"_second_session_frame_sent", get_flag<&HandlerObject::second_session_frame_sent>,
     set_flag<&HandlerObject::second_session_frame_sent>, nullptr, nullptr},
    {"_reset_slave_sequence_number_after_frame", get_flag<&HandlerObject::reset_slave_sequence_number_after_frame>,
     set_flag<&HandlerObject::reset_slave_sequence_number_after_frame>, nullptr, nullptr},
    {"_generate_crcs_cyclic_for_next_frame", get_flag<&HandlerObject::generate_crcs_cyclic_for_next_frame>,
     set_flag<&HandlerObject::generate_crcs_cyclic_for_next_frame>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TAMSEL_OBJECT_MEMBER(name, field) {name, T_OBJECT_EX, offsetof(HandlerObject, field), 0, nullptr}

PyMemberDef handler_members[] = {
    TAMSEL_DICT_MEMBER(HandlerObject, dict),
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HandlerObject, weakrefs), READONLY, nullptr},
    TAMSEL_OBJECT_MEMBER("dictionary", dictionary),
    TAMSEL_OBJECT_MEMBER("master", master),
    TAMSEL_OBJECT_MEMBER("slave", slave),
    TAMSEL_OBJECT_MEMBER("_data_command", data_command),
    TAMSEL_OBJECT_MEMBER("_state", state),
    TAMSEL_OBJECT_MEMBER("_watchdog", watchdog),
    TAMSEL_OBJECT_MEMBER("_MasterHandler__report_error_callback", report_error_callback),
    TAMSEL_OBJECT_MEMBER("_MasterHandler__state_change_callback", state_change_callback),
    TAMSEL_OBJECT_MEMBER("_MasterHandler__current_request", current_request),
    TAMSEL_OBJECT_MEMBER("_MasterHandler__last_reply", last_reply),
    {nullptr, 0, 0, 0, nullptr},
};

// ---- host operations ----------------------------------------------------------------------

PyObject* none_if(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

bool check_no_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::parse_fastcall(name, args, nargs, kwnames, {}, 0, nullptr);
}

#define TAMSEL_NO_ARGS(name) \
    if (!check_no_arguments(name, args, nargs, kwnames)) return nullptr

// The steps of start() once the handler's lock is held.
bool start_connection(HandlerObject* self) {
    PyObject* master = handler_field(self->master, "master");
    PyObject* slave = master ? handler_field(self->slave, "slave") : nullptr;
    if (!slave) return false;
    Ref keep_master = Ref::borrow(master), keep_slave = Ref::borrow(slave);
    if (!py::call(master, names::start) || !py::call(slave, names::start)) return false;
    Ref master_size = py::path(master, {names::frame, names::safe_data_size_bytes});
    Ref slave_size = master_size ? py::path(slave, {names::frame, names::safe_data_size_bytes}) : Ref{};
    if (!slave_size) return false;
    long a = PyLong_AsLong(master_size.get());
    if (a == -1 && PyErr_Occurred()) return false;
    long b = PyLong_AsLong(slave_size.get());
    if (b == -1 && PyErr_Occurred()) return false;
    self->initialization_data_bytes = a < b ? a : b;
    if (!call_reset(self)) return false;
    self->running = true;
    return true;
}

// The steps of stop() once the handler's lock is held.
bool stop_connection(HandlerObject* self) {
    if (!self->running) return true;
    self->running = false;
    if (!call_reset(self)) return false;
    PyObject* watchdog = handler_field(self->watchdog, "_watchdog");
    if (!watchdog || !call_watchdog(Ref::borrow(watchdog).get(), WatchdogOperation::deactivate)) return false;
    PyObject* master = handler_field(self->master, "master");
    PyObject* slave = master ? handler_field(self->slave, "slave") : nullptr;
    if (!slave) return false;
    Ref keep_master = Ref::borrow(master), keep_slave = Ref::borrow(slave);
    return py::call(master, names::stop) && py::call(slave, names::stop);
}

// Runs `steps` as one reaction under the handler's lock.
PyObject* react(HandlerObject* self, bool (*steps)(HandlerObject*)) {
    binding::Reaction reaction;
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return none_if(reaction.finish(steps(self)));
}

PyObject* m_start(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("start");
    return react(H(obj), start_connection);
}

PyObject* m_stop(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("stop");
    return react(H(obj), stop_connection);
}

PyObject* m_reset(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("reset");
    return none_if(reset_connection(H(obj)));
}

PyObject* m_get_request(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("get_request");
    PyObject* request = handler_field(H(obj)->current_request, "_MasterHandler__current_request");
    return request ? Py_NewRef(request) : nullptr;
}

bool parse_data(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& data) {
    if (nargs == 1 && !kwnames && PyBytes_CheckExact(args[0])) {  // the call of every cycle
        data = args[0];
        return true;
    }
    return binding::parse_fastcall(name, args, nargs, kwnames, {"data"}, 1, &data) &&
           binding::check_type(data, &PyBytes_Type, "data", true);
}

PyObject* m_set_reply(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("set_reply", args, nargs, kwnames, data)) return nullptr;
    return none_if(accept_reply(H(obj), data));
}

PyObject* m_set_fail_safe(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* active;
    if (!binding::parse_fastcall("set_fail_safe", args, nargs, kwnames, {"active"}, 0, &active)) return nullptr;
    int truth = active ? PyObject_IsTrue(active) : 1;
    if (truth < 0) return nullptr;
    Ref command = Ref::steal(
        PyObject_GetAttrString(binding::state().FSOECommand.get(), truth ? "FAILSAFE_DATA" : "PROCESS_DATA"));
    if (!command) return nullptr;
    binding::assign(H(obj)->data_command, command.get());
    Py_RETURN_NONE;
}

PyObject* m_set_slave_address(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* raw;
    uint16_t address;
    if (!binding::parse_fastcall("set_slave_address", args, nargs, kwnames, {"slave_address"}, 1, &raw) ||
        !binding::to_unsigned(raw, address))
        return nullptr;
    HandlerObject* self = H(obj);
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    if (self->running) {
        PyErr_SetString(binding::state().TamselRunningException.get(), "Cannot set slave address while running");
        return nullptr;
    }
    PyObject* master = handler_field(self->master, "master");
    if (!master) return nullptr;
    Ref item = py::path(master, {names::session, names::slave_address});
    return none_if(item && py::set_new(item.get(), names::value, PyLong_FromLong(address)));
}

PyObject* m_get_slave_address(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("get_slave_address");
    PyObject* master = handler_field(H(obj)->master, "master");
    if (!master) return nullptr;
    Ref value = py::path(master, {names::session, names::slave_address, names::value});
    uint16_t address;
    if (!value || !binding::to_unsigned(value.get(), address)) return nullptr;
    return PyLong_FromLong(address);
}

PyObject* m_delete(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("delete");
    PyObject* watchdog = handler_field(H(obj)->watchdog, "_watchdog");
    if (!watchdog) return nullptr;
    Ref keep = Ref::borrow(watchdog);
    int alive = py::truth(py::call(watchdog, names::is_alive));
    if (alive < 0) return nullptr;
    return none_if(!alive || py::call(watchdog, names::stop));
}

// ---- frame capture for tamsel.trace ---------------------------------------------------------

PyObject* m_attach_recorder(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* capacity;
    if (!binding::parse_fastcall("_attach_recorder", args, nargs, kwnames, {"capacity"}, 1, &capacity))
        return nullptr;
    return diagnostics::attach_recorder(H(obj), capacity);
}

PyObject* m_detach_recorder(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* ring;
    if (!binding::parse_fastcall("_detach_recorder", args, nargs, kwnames, {"ring"}, 1, &ring)) return nullptr;
    diagnostics::detach_recorder(H(obj), ring);
    Py_RETURN_NONE;
}

// ---- operations for the states --------------------------------------------------------------

PyObject* m_create_session_id(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("_create_session_id");
    return none_if(create_session_id(H(obj)));
}

PyObject* m_dynamic_map_pending(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("_dynamic_map_pending");
    int pending = dynamic_map_pending(H(obj));
    return pending < 0 ? nullptr : PyBool_FromLong(pending);
}

PyObject* m_report_error(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* raw[2];
    if (!binding::parse_fastcall("_report_error", args, nargs, kwnames, {"transition_name", "error"}, 2, raw) ||
        !binding::check_type(raw[0], &PyUnicode_Type, "transition_name", true) ||
        !binding::check_type(raw[1], &PyUnicode_Type, "error", true))
        return nullptr;
    return none_if(report_error(H(obj), raw[0], raw[1]));
}

PyObject* m_set_next_state(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* next_state;
    if (!binding::parse_fastcall("_set_next_state", args, nargs, kwnames, {"next_state"}, 1, &next_state))
        return nullptr;
    HandlerObject* self = H(obj);
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return none_if(set_next_state(self, next_state));
}

PyObject* m_watchdog_expired_event(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("_watchdog_expired_event");
    return none_if(watchdog_expired(H(obj)));
}

PyObject* m_internal_get_request(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("_get_request");
    HandlerObject* self = H(obj);
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return compute_request(self);
}

PyObject* m_internal_set_reply(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("_set_reply", args, nargs, kwnames, data)) return nullptr;
    HandlerObject* self = H(obj);
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return none_if(process_reply(self, data));
}

PyObject* m_recalculate_request(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TAMSEL_NO_ARGS("__recalculate_request");
    HandlerObject* self = H(obj);
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return none_if(recalculate_request(self));
}

#define TAMSEL_METHOD(name, fn, doc) \
    {name, binding::as_method(fn), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef handler_methods[] = {
    TAMSEL_METHOD("start", m_start, "Start the FSoE connection"),
    TAMSEL_METHOD("stop", m_stop, "Reset the connection and stop"),
    TAMSEL_METHOD("reset", m_reset, "Reset the FSoE Connection"),
    TAMSEL_METHOD("get_request", m_get_request,
                  "Get the FSoE request to send. Can be called N times, even while the PDU has not changed"),
    TAMSEL_METHOD("set_reply", m_set_reply,
                  "Set the FSoE reply received. Can be set N times with the same data and will detect when "
                  "there's a new PDU"),
    TAMSEL_METHOD("set_fail_safe", m_set_fail_safe,
                  "When is on data state and fail safe is active safe outputs will be sent but slaves should not "
                  "take action"),
    TAMSEL_METHOD("set_slave_address", m_set_slave_address, "Set the FSoE address of the slave"),
    TAMSEL_METHOD("get_slave_address", m_get_slave_address, "Get the FSoE address of the slave"),
    TAMSEL_METHOD("delete", m_delete, "Stop the watchdog thread of the handler"),
    TAMSEL_METHOD("__enter__", handler_enter, "Return the handler itself"),
    TAMSEL_METHOD("__exit__", handler_exit, "Stop the watchdog thread of the handler (delete())"),
    TAMSEL_METHOD("_create_session_id", m_create_session_id, "Create new random session id"),
    TAMSEL_METHOD("_dynamic_map_pending", m_dynamic_map_pending, "Check if one of the dynamic maps has pending data"),
    TAMSEL_METHOD("_report_error", m_report_error, "Report an error transition to the error callback"),
    TAMSEL_METHOD("_set_next_state", m_set_next_state, "Set the next state of the state machine"),
    TAMSEL_METHOD("_watchdog_expired_event", m_watchdog_expired_event, "Watchdog expired event callback for watchdog"),
    TAMSEL_METHOD("_get_request", m_internal_get_request, "Get new FSoE Request"),
    TAMSEL_METHOD("_set_reply", m_internal_set_reply, "Get new FSoE reply"),
    TAMSEL_METHOD("_MasterHandler__recalculate_request", m_recalculate_request, "Compute the request to send"),
    TAMSEL_METHOD("_attach_recorder", m_attach_recorder,
                  "Attach a new ring of `capacity` frames that captures every request and new reply"),
    TAMSEL_METHOD("_detach_recorder", m_detach_recorder, "Stop capturing into `ring` if it is attached"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handler_slots[] = {
    {Py_tp_doc, const_cast<char*>("Handles the connection with a single slave from a master's point of view")},
    {Py_tp_new, reinterpret_cast<void*>(handler_new)},
    {Py_tp_init, reinterpret_cast<void*>(handler_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handler_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(handler_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(handler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handler_clear)},
    {Py_tp_methods, handler_methods},
    {Py_tp_members, handler_members},
    {Py_tp_getset, handler_getsets},
    {0, nullptr},
};

PyType_Spec handler_spec = {
    "tamsel.tamsel.MasterHandler",
    sizeof(HandlerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    handler_slots,
};

}  // namespace

bool add_handler_type(PyObject* module) {
    return names::intern_all() && binding::add_type(module, &handler_spec, nullptr, binding::state().MasterHandler);
}

}  // namespace tamsel::master

// The MasterHandler class: constructor, fields, properties and operations.
#include "binding/instance.hpp"
#include "binding/module_state.hpp"
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/lifecycle.hpp"
#include "binding/reaction.hpp"
#include "binding/types.hpp"
#include "frame/frame.hpp"
#include "handler/bounded_wait.hpp"
#include "recorder/frame_ring_type.hpp"
#include "handler/handler_diagnostics.hpp"
#include "engine/handler_engine.hpp"
#include "binding/host_calls.hpp"
#include "handler/handler_type.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"

#include <cstddef>
#include <new>
#include <vector>

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
        Ref data_type = py::get(param.get(), binding::names().data_type);
        if (!data_type) return {};
        PyObject* stack[3] = {nullptr, zero.get(), data_type.get()};
        Ref item = Ref::steal(PyObject_Vectorcall(binding::state().DynamicMappableItem.get(), stack + 1,
                                                  0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!item || PyList_Append(echoes.get(), item.get()) < 0) return {};
    }
    return echoes;
}

Ref make_state(PyObject* cls, PyObject* context) {
    Ref kwnames = Ref::steal(PyTuple_Pack(1, binding::names().context));
    if (!kwnames) return {};
    PyObject* stack[2] = {nullptr, context};
    return Ref::steal(PyObject_Vectorcall(cls, stack + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref make_watchdog(double timeout_s, PyObject* handler) {
    Ref callback = py::get(handler, binding::names()._watchdog_expired_event);
    Ref timeout = Ref::steal(PyFloat_FromDouble(timeout_s));
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "timeout_s", "callback"));
    if (!callback || !timeout || !kwnames) return {};
    PyObject* stack[3] = {nullptr, timeout.get(), callback.get()};
    return Ref::steal(PyObject_Vectorcall(binding::state().Watchdog.get(), stack + 1,
                                          0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

bool handler_init(HandlerObject* self, PyObject* dictionary, uint16_t slave_address, uint16_t connection_id,
                  double watchdog_timeout_s, PyObject* application_parameters, PyObject* report_error_callback,
                  PyObject* state_change_callback, PyObject* dictionary_map_is_editable) {
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    Arguments a{dictionary,
                slave_address,
                connection_id,
                watchdog_timeout_s,
                application_parameters == Py_None ? nullptr : application_parameters,
                report_error_callback,
                state_change_callback,
                dictionary_map_is_editable};
    if (self->watchdog) {
        // A second run would start a second watchdog thread that nothing could end.
        PyErr_SetString(PyExc_RuntimeError, "MasterHandler is already initialized");
        return false;
    }
    if (a.connection_id == 0) {
        PyErr_SetString(PyExc_ValueError, "Connection ID = 0 is not permitted");
        return false;
    }
    if (!check_watchdog_timeout(a.watchdog_timeout_s, "watchdog_timeout_s")) return false;
    if (a.watchdog_timeout_s * 1000.0 < 1.0) {
        // The slave would receive 0 ms.
        Ref value = Ref::steal(PyFloat_FromDouble(a.watchdog_timeout_s));
        if (value)
            PyErr_Format(PyExc_ValueError,
                         "watchdog_timeout_s must be at least 0.001 seconds: the slave receives the watchdog time in "
                         "whole milliseconds, 1 to 65535 (got %R)",
                         value.get());
        return false;
    }
    Ref parameters = a.application_parameters ? Ref::borrow(a.application_parameters) : Ref::steal(PyList_New(0));
    if (!parameters) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
        Ref param = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
        if (!py::call(param.get(), binding::names()._set_use_by_master, {obj})) return false;
    }

    binding::ModuleState& st = binding::state();
    binding::assign(self->dictionary, a.dictionary);
    // The node truncates the milliseconds toward zero (and refuses them outside 0..65535).
    Ref master_ms = Ref::steal(PyFloat_FromDouble(a.watchdog_timeout_s * 1000.0));
    if (!master_ms) return false;
    Ref master = make_node(master_ms.get(), a.slave_address, a.connection_id, parameters.get(), a,
                           st.DictionaryItemOutput.get(), st.DictionaryItemInputOutput.get());
    if (!master) return false;
    binding::assign(self->master, master.get());
    Ref echoes = make_echo_parameters(parameters.get());
    if (!echoes) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref slave = make_node(zero.get(), 0, 0, echoes.get(), a, st.DictionaryItemInput.get(),
                          st.DictionaryItemInputOutput.get());
    if (!slave) return false;
    binding::assign(self->slave, slave.get());

    Ref failsafe = Ref::steal(PyObject_GetAttrString(st.FSOECommand.get(), "FAILSAFE_DATA"));
    if (!failsafe) return false;
    binding::assign(self->data_command, failsafe.get());
    Ref state = make_state(st.StateReset.get(), obj);
    if (!state) return false;
    binding::assign(self->state, state.get());

    Ref watchdog = make_watchdog(a.watchdog_timeout_s, obj);
    if (!watchdog || !py::call(watchdog.get(), binding::names().start)) return false;
    binding::assign(self->watchdog, watchdog.get());

    self->initialization_data_bytes = 0;
    self->second_session_frame_sent = false;
    binding::assign(self->report_error_callback, a.report_error_callback);
    binding::assign(self->state_change_callback, a.state_change_callback);
    self->reset_slave_sequence_number_after_frame = false;
    self->generate_crcs_cyclic_for_next_frame = false;
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return false;
    binding::assign(self->current_request, empty.get());
    binding::assign(self->last_reply, empty.get());
    Py_CLEAR(self->session_opening);
    self->running = false;
    self->counters.state_entered = diagnostics::wall_clock_now();
    return true;
}

using handler_native = binding::native<&HandlerObject::lock>;

PyObject* handler_new(PyTypeObject* type, PyObject*, PyObject*) { return handler_native::allocate(type); }

// ---- object protocol ----------------------------------------------------------------------

using handler_references =
    binding::references<&HandlerObject::dict, &HandlerObject::dictionary, &HandlerObject::master, &HandlerObject::slave,
                        &HandlerObject::data_command, &HandlerObject::state, &HandlerObject::watchdog,
                        &HandlerObject::report_error_callback, &HandlerObject::state_change_callback,
                        &HandlerObject::current_request, &HandlerObject::last_reply, &HandlerObject::fault_counts,
                        &HandlerObject::last_fault, &HandlerObject::recorder, &HandlerObject::session_opening>;
constexpr auto handler_traverse = handler_references::traverse;
constexpr auto handler_clear = handler_references::clear;

void handler_dealloc(PyObject* obj) {
    binding::gc_dealloc(obj, [](PyObject* obj) {
        if (H(obj)->weakrefs) PyObject_ClearWeakRefs(obj);
        handler_clear(obj);
        handler_native::destroy(obj);
    });
}

// ---- fields and properties ----------------------------------------------------------------

PyObject* get_state_class(PyObject* obj, void*) {
    PyObject* state = handler_field(H(obj)->state, "_state");
    return state ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(state))) : nullptr;
}

PyObject* get_statistics(PyObject* obj, void*) { return diagnostics::statistics_snapshot(H(obj)); }

using binding::field;
using binding::member;
using binding::readonly;

using handler_fields = binding::fields<
    binding::instance_dict<&HandlerObject::dict>, binding::weak_references<&HandlerObject::weakrefs>,
    readonly<"running", &HandlerObject::running, binding::truth, "Indicates if the FSoE connection is running">,
    binding::property<"state", get_state_class, nullptr, "Class of the current state of the master">,
    readonly<"initialization_data_bytes", &HandlerObject::initialization_data_bytes, binding::exact_long,
             "Number of safe-data bytes carried per frame outside the Data state">,
    binding::property<"statistics", get_statistics, nullptr,
                      "Snapshot of the handler's counters: replies, requests, faults by transition name, watchdog "
                      "expiries, connections, slave resets, the last fault and when the current state was entered">,
    field<"_MasterHandler__running", &HandlerObject::running, binding::truth>,
    field<"_MasterHandler__initialization_data_bytes", &HandlerObject::initialization_data_bytes, binding::exact_long>,
    field<"_second_session_frame_sent", &HandlerObject::second_session_frame_sent, binding::truth>,
    field<"_reset_slave_sequence_number_after_frame", &HandlerObject::reset_slave_sequence_number_after_frame,
          binding::truth>,
    field<"_generate_crcs_cyclic_for_next_frame", &HandlerObject::generate_crcs_cyclic_for_next_frame, binding::truth>,
    member<"dictionary", &HandlerObject::dictionary>, member<"master", &HandlerObject::master>,
    member<"slave", &HandlerObject::slave>, member<"_data_command", &HandlerObject::data_command>,
    member<"_state", &HandlerObject::state>, member<"_watchdog", &HandlerObject::watchdog>,
    member<"_MasterHandler__report_error_callback", &HandlerObject::report_error_callback>,
    member<"_MasterHandler__state_change_callback", &HandlerObject::state_change_callback>,
    member<"_MasterHandler__current_request", &HandlerObject::current_request>,
    member<"_MasterHandler__last_reply", &HandlerObject::last_reply>>;

// ---- host operations ----------------------------------------------------------------------

// Whether a node's map can be the safe data of a frame: 1 byte or an even number up to 16 (an
// empty map leaves the frame without safe data). Raises ValueError if not.
bool check_frame_size(PyObject* node, const char* name) {
    Ref size = py::path(node, {binding::names().dictionary_map, binding::names().safety_bytes});
    if (!size) return false;
    long bytes = PyLong_AsLong(size.get());
    if (bytes == -1 && PyErr_Occurred()) return false;
    constexpr int most = static_cast<int>(frame::MAX_DATA_BYTES);
    if (bytes > most) {
        PyErr_Format(PyExc_ValueError, "Frame structure cannot handle more than %d bytes", most);
        return false;
    }
    if (bytes == 1 || bytes % 2 == 0) return true;
    PyErr_Format(PyExc_ValueError,
                 "the %s map holds %ld safe data bytes: an FSoE frame carries 1 or an even number of bytes up to %d",
                 name, bytes, most);
    return false;
}

// Undoes the nodes' start() (their maps unlocked again) when a later step of start() failed.
class NodeStartRollback {
public:
    NodeStartRollback() = default;
    NodeStartRollback(const NodeStartRollback&) = delete;
    NodeStartRollback& operator=(const NodeStartRollback&) = delete;
    ~NodeStartRollback() {
        if (started_.empty()) return;
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        for (const Ref& node : started_)
            if (!py::call(node.get(), binding::names().stop)) PyErr_WriteUnraisable(node.get());
        PyErr_SetRaisedException(exception.release());
    }
    bool start(PyObject* node) {
        if (!py::call(node, binding::names().start)) return false;
        started_.push_back(Ref::borrow(node));
        return true;
    }
    void commit() noexcept { started_.clear(); }

private:
    std::vector<Ref> started_;
};

// The steps of start() once the handler's lock is held. A start() that raises changes nothing:
// the frame sizes and the watchdog are checked first, and the nodes' start is undone if a
// later step fails.
bool start_connection(HandlerObject* self) {
    PyObject* master = handler_field(self->master, "master");
    PyObject* slave = master ? handler_field(self->slave, "slave") : nullptr;
    if (!slave) return false;
    Ref keep_master = Ref::borrow(master), keep_slave = Ref::borrow(slave);
    if (!check_frame_size(master, "master") || !check_frame_size(slave, "slave")) return false;
    PyObject* watchdog = handler_field(self->watchdog, "_watchdog");
    if (!watchdog) return false;
    const int alive = py::truth(py::call(Ref::borrow(watchdog).get(), binding::names().is_alive));
    if (alive <= 0) {
        if (alive == 0) raise_not_running();
        return false;
    }
    NodeStartRollback rollback;
    if (!rollback.start(master) || !rollback.start(slave)) return false;
    Ref master_size = py::path(master, {binding::names().frame, binding::names().safe_data_size_bytes});
    Ref slave_size = master_size ? py::path(slave, {binding::names().frame, binding::names().safe_data_size_bytes})
                                 : Ref{};
    if (!slave_size) return false;
    long a = PyLong_AsLong(master_size.get());
    if (a == -1 && PyErr_Occurred()) return false;
    long b = PyLong_AsLong(slave_size.get());
    if (b == -1 && PyErr_Occurred()) return false;
    self->initialization_data_bytes = a < b ? a : b;
    if (!call_reset(self)) return false;
    rollback.commit();
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
    return py::call(master, binding::names().stop) && py::call(slave, binding::names().stop);
}

// Runs `Steps` as one reaction under the handler's lock.
template <bool (*Steps)(HandlerObject*)>
bool react(HandlerObject* self) {
    binding::Reaction reaction;
    HandlerLock::Guard guard(self->lock);
    return guard && reaction.finish(Steps(self));
}

// Longest wait of stop() for the handler's lock, as long as any handshake with the watchdog.
constexpr std::chrono::seconds stop_wait_limit{5};

// stop(): a callback that never returns (one waiting for a lock the stopping thread holds)
// cannot hold it up for ever, and a signal interrupts its wait on the main thread.
bool m_stop(HandlerObject* self) {
    binding::Reaction reaction;
    BoundedWait wait(stop_wait_limit);
    HandlerLock::Guard guard(self->lock, wait.give_up());
    if (guard.given_up()) return wait.raise("stop()");
    return guard && reaction.finish(stop_connection(self));
}

PyObject* m_get_request(HandlerObject* self) {
    if (!self->lock.in_own_process()) {
        raise_forked_handler();
        return nullptr;
    }
    PyObject* request = handler_field(self->current_request, "_MasterHandler__current_request");
    return request ? Py_NewRef(request) : nullptr;
}

bool m_set_fail_safe(HandlerObject* self, bool active) {
    Ref command = Ref::steal(
        PyObject_GetAttrString(binding::state().FSOECommand.get(), active ? "FAILSAFE_DATA" : "PROCESS_DATA"));
    if (!command) return false;
    binding::assign(self->data_command, command.get());
    return true;
}

bool m_set_slave_address(HandlerObject* self, uint16_t address) {
    HandlerLock::Guard guard(self->lock);
    if (!guard) return false;
    if (self->running) {
        PyErr_SetString(binding::state().TamselRunningException.get(), "Cannot set slave address while running");
        return false;
    }
    PyObject* master = handler_field(self->master, "master");
    if (!master) return false;
    Ref item = py::path(master, {binding::names().session, binding::names().slave_address});
    return item && py::set_new(item.get(), binding::names().value, PyLong_FromLong(address));
}

PyObject* m_get_slave_address(HandlerObject* self) {
    PyObject* master = handler_field(self->master, "master");
    if (!master) return nullptr;
    Ref value = py::path(master, {binding::names().session, binding::names().slave_address, binding::names().value});
    uint16_t address;
    if (!value || !binding::to_unsigned(value.get(), address)) return nullptr;
    return PyLong_FromLong(address);
}

bool m_delete(HandlerObject* self) {
    PyObject* watchdog = handler_field(self->watchdog, "_watchdog");
    if (!watchdog) return false;
    Ref keep = Ref::borrow(watchdog);
    int alive = py::truth(py::call(watchdog, binding::names().is_alive));
    if (alive < 0) return false;
    return !alive || py::call(watchdog, binding::names().stop);
}

// ---- frame capture for tamsel.trace ---------------------------------------------------------

bool m_detach_recorder(HandlerObject* self, PyObject* ring) {
    diagnostics::detach_recorder(self, ring);
    return true;
}

// ---- operations for the states --------------------------------------------------------------

PyObject* m_dynamic_map_pending(HandlerObject* self) {
    int pending = dynamic_map_pending(self);
    return pending < 0 ? nullptr : PyBool_FromLong(pending);
}

bool m_set_next_state(HandlerObject* self, PyObject* next_state) {
    HandlerLock::Guard guard(self->lock);
    return guard && set_next_state(self, next_state);
}

PyObject* m_internal_get_request(HandlerObject* self) {
    HandlerLock::Guard guard(self->lock);
    if (!guard) return nullptr;
    return compute_request(self);
}

bool m_internal_set_reply(HandlerObject* self, PyObject* data) {
    HandlerLock::Guard guard(self->lock);
    return guard && process_reply(self, data);
}

bool m_recalculate_request(HandlerObject* self) {
    HandlerLock::Guard guard(self->lock);
    return guard && recalculate_request(self);
}

using binding::method;
using binding::param;

using handler_constructor = binding::constructor<
    handler_init, param<"dictionary", binding::instance_of<&binding::ModuleState::Dictionary>>,
    param<"slave_address", binding::u16>, param<"connection_id", binding::u16>,
    param<"watchdog_timeout_s", binding::real>, param<"application_parameters", binding::list_or_none, "None">,
    param<"report_error_callback", binding::any_object, "None">,
    param<"state_change_callback", binding::any_object, "None">,
    param<"dictionary_map_is_editable", binding::any_object, "True">>;

using handler_methods = binding::methods<
    method<"start", "Start the FSoE connection", react<start_connection>>,
    method<"stop", "Reset the connection and stop", m_stop>,
    method<"reset", "Reset the FSoE Connection", reset_connection>,
    method<"get_request", "Get the FSoE request to send. Can be called N times, even while the PDU has not changed",
           m_get_request>,
    method<"set_reply",
           "Set the FSoE reply received. Can be set N times with the same data and will detect when there's a new PDU",
           accept_reply, param<"data", binding::exact_bytes>>,
    method<"set_fail_safe",
           "When is on data state and fail safe is active safe outputs will be sent but slaves should not take action",
           m_set_fail_safe, param<"active", binding::truth, "True">>,
    method<"set_slave_address", "Set the FSoE address of the slave", m_set_slave_address,
           param<"slave_address", binding::u16>>,
    method<"get_slave_address", "Get the FSoE address of the slave", m_get_slave_address>,
    method<"delete", "Stop the watchdog thread of the handler", m_delete>,
    method<"__enter__", "Return the handler itself", handler_enter>,
    method<"__exit__", "Stop the watchdog thread of the handler (delete())", handler_exit,
           param<"exc_type", binding::any_object>, param<"exc_value", binding::any_object>,
           param<"traceback", binding::any_object>>,
    method<"_create_session_id", "Create new random session id", create_session_id>,
    method<"_dynamic_map_pending", "Check if one of the dynamic maps has pending data", m_dynamic_map_pending>,
    method<"_report_error", "Report an error transition to the error callback", report_error,
           param<"transition_name", binding::exact_str>, param<"error", binding::exact_str>>,
    method<"_set_next_state", "Set the next state of the state machine", m_set_next_state,
           param<"next_state", binding::any_object>>,
    method<"_watchdog_expired_event", "Watchdog expired event callback for watchdog", watchdog_expired>,
    method<"_get_request", "Get new FSoE Request", m_internal_get_request>,
    method<"_set_reply", "Get new FSoE reply", m_internal_set_reply, param<"data", binding::exact_bytes>>,
    method<"_MasterHandler__recalculate_request", "Compute the request to send", m_recalculate_request>,
    method<"_attach_recorder", "Attach a new ring of `capacity` frames that captures every request and new reply",
           diagnostics::attach_recorder, param<"capacity", binding::any_object>>,
    method<"_detach_recorder", "Stop capturing into `ring` if it is attached", m_detach_recorder,
           param<"ring", binding::any_object>>>;

PyType_Slot handler_slots[] = {
    {Py_tp_doc, const_cast<char*>(handler_constructor::doc<"MasterHandler", "Handles the connection with a single slave from a master's point of view">.data())},
    {Py_tp_new, reinterpret_cast<void*>(handler_new)},
    {Py_tp_init, reinterpret_cast<void*>(handler_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handler_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(handler_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(handler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handler_clear)},
    {Py_tp_methods, handler_methods::table},
    {Py_tp_members, handler_fields::members},
    {Py_tp_getset, handler_fields::getset},
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
    return binding::add_type(module, &handler_spec, nullptr, binding::state().MasterHandler);
}

}  // namespace tamsel::master

// tamsel._slave.SlaveCore: a SlaveCore inside a host object, with the fault-injection calls and
// the record of rejected master frames.
#include "binding/lifecycle.hpp"
#include "binding/types.hpp"
#include "slave/slave_object.hpp"

#include <chrono>
#include <cstddef>
#include <new>
#include <optional>
#include <random>

#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "slave/slave_core.hpp"

namespace tamsel::slave {

namespace {

using binding::Ref;

// The fields every reply touches come before the core, next to the object's header.
struct SlaveObject {
    PyObject_HEAD PyObject* reply;  // bytes of the last reply
    PyObject* rejections;           // list of (error code, reason) tuples
    Fault last_fault;               // fault sent in the last new reply
    std::optional<SlaveCore> core;
};

SlaveObject* as_slave(PyObject* self) { return reinterpret_cast<SlaveObject*>(self); }

uint16_t random_session_id() {
    std::random_device device;
    return static_cast<uint16_t>(std::uniform_int_distribution<unsigned>(0, 0xFFFF)(device));
}

// A safe-data size of a frame: "outputs_size must be 1 or an even number from 2 to 16, got 3".
struct frame_size {
    using type = uint16_t;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (!binding::to_unsigned(obj, out)) return false;
        if (is_frame_size(out)) return true;
        PyErr_Format(PyExc_ValueError, "%s must be 1 or an even number from 2 to 16, got %u", argname, unsigned{out});
        return false;
    }
};

// The last three arguments are checked after the connection id is.
PyObject* slave_new(PyTypeObject* type, uint16_t slave_address, uint16_t connection_id, uint16_t watchdog_ms,
                    uint16_t outputs_size, uint16_t inputs_size, PyObject* app_parameters, PyObject* session_id,
                    PyObject* supervise_watchdog) {
    Config config;
    config.slave_address = slave_address;
    config.connection_id = connection_id;
    config.watchdog_ms = watchdog_ms;
    config.outputs_size = outputs_size;
    config.inputs_size = inputs_size;
    if (config.connection_id == 0) {
        PyErr_SetString(PyExc_ValueError, "connection_id must not be 0");
        return nullptr;
    }
    if (!binding::check_type(app_parameters, &PyBytes_Type, "app_parameters", true)) return nullptr;
    const Py_ssize_t length = PyBytes_GET_SIZE(app_parameters);
    if (static_cast<std::size_t>(length) > MAX_APP_PARAMETER_BYTES) {
        PyErr_Format(PyExc_ValueError, "app_parameters must not exceed %zu bytes", MAX_APP_PARAMETER_BYTES);
        return nullptr;
    }
    std::copy_n(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(app_parameters)), length,
                config.app_parameters.begin());
    config.app_parameter_bytes = static_cast<std::size_t>(length);
    const int supervise = PyObject_IsTrue(supervise_watchdog);
    if (supervise < 0) return nullptr;
    config.supervise = supervise != 0;
    if (session_id == Py_None) config.session_id = random_session_id();
    else if (!binding::to_unsigned(session_id, config.session_id)) return nullptr;

    Ref reply = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref rejections = Ref::steal(PyList_New(0));
    if (!reply || !rejections) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    SlaveObject* slave = as_slave(self.get());
    new (&slave->core) std::optional<SlaveCore>(std::in_place, config);
    new (&slave->last_fault) Fault{};
    slave->reply = reply.release();
    slave->rejections = rejections.release();
    return self.release();
}

using slave_references = binding::references<&SlaveObject::reply, &SlaveObject::rejections>;
constexpr auto slave_traverse = slave_references::traverse;
constexpr auto slave_clear = slave_references::clear;

void slave_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        slave_clear(self);
        as_slave(self)->core.~optional();
    });
}

SlaveCore& core_of(PyObject* self) { return *as_slave(self)->core; }

bool append_rejection(SlaveObject* slave, const Rejection& rejection) {
    Ref entry = Ref::steal(Py_BuildValue("(Is)", unsigned{rejection.error}, rejection.reason.data()));
    return entry && PyList_Append(slave->rejections, entry.get()) == 0;
}

// The time a frame arrives at: `now_ms` when given, else the monotonic clock.
bool arrival_ms(PyObject* now_ms, uint64_t& out) {
    if (now_ms != Py_None) return binding::to_unsigned(now_ms, out);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    out = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    return true;
}

PyObject* slave_reply(PyObject* self, PyObject* request, PyObject* now_ms) {
    SlaveObject* slave = as_slave(self);
    SlaveCore& core = *slave->core;
    uint64_t now = 0;
    if (!arrival_ms(now_ms, now)) return nullptr;
    const Outcome outcome = core.reply(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(request)),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(request)), now);
    if (outcome.processed) {
        Ref reply = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(core.reply_data()),
                                                         static_cast<Py_ssize_t>(core.reply_length())));
        if (!reply) return nullptr;
        binding::assign(slave->reply, reply.get());
        slave->last_fault = outcome.fault;
        if (outcome.rejected && !append_rejection(slave, outcome.rejection)) return nullptr;
    }
    return Py_NewRef(slave->reply);
}

// Queues a fault of `kind`; the argument, if any, is the single positional/keyword `name`.
PyObject* queue_fault(PyObject* self, FaultKind kind, uint16_t argument) {
    if (!core_of(self).inject(Fault{kind, argument})) {
        PyErr_Format(PyExc_RuntimeError, "at most %zu faults can wait for a reply", FaultQueue::capacity);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* slave_corrupt_crc(PyObject* self, uint16_t slot) {
    const std::size_t slots = frame::slot_count(core_of(self).config().inputs_size);
    if (slot >= slots) {
        PyErr_Format(PyExc_ValueError, "slot must be below %zu, the number of CRC slots of a reply", slots);
        return nullptr;
    }
    return queue_fault(self, FaultKind::corrupt_crc, slot);
}

PyObject* slave_corrupt_connection_id(PyObject* self) { return queue_fault(self, FaultKind::corrupt_connection_id, 0); }

PyObject* slave_send_command(PyObject* self, uint16_t code) {
    if (code > 0xFF) {
        PyErr_SetString(PyExc_ValueError, "command must be a byte (0 to 255)");
        return nullptr;
    }
    return queue_fault(self, FaultKind::command, code);
}

PyObject* slave_send_reset(PyObject* self, uint16_t code) { return queue_fault(self, FaultKind::reset, code); }

PyObject* slave_corrupt_echo(PyObject* self) {
    core_of(self).corrupt_echo();
    Py_RETURN_NONE;
}

PyObject* slave_silence(PyObject* self, uint32_t cycles) {
    core_of(self).silence(cycles);
    Py_RETURN_NONE;
}

// The rejections so far, handed over whole: the slave starts a new list.
PyObject* slave_take_rejections(PyObject* self) {
    SlaveObject* slave = as_slave(self);
    PyObject* fresh = PyList_New(0);
    if (!fresh) return nullptr;
    PyObject* taken = slave->rejections;
    slave->rejections = fresh;
    return taken;
}

PyObject* slave_pending_faults(PyObject* self) { return PyBool_FromLong(core_of(self).pending_faults()); }

PyObject* slave_clear_faults(PyObject* self) {
    core_of(self).clear_faults();
    Py_RETURN_NONE;
}

PyObject* bytes_of(const uint8_t* data, std::size_t length) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
}

PyObject* optional_int(std::optional<uint16_t> value) {
    return value ? PyLong_FromUnsignedLong(*value) : Py_NewRef(Py_None);
}

PyObject* get_inputs(PyObject* self, void*) {
    const SlaveCore& core = core_of(self);
    return bytes_of(core.inputs().data(), core.config().inputs_size);
}

int set_inputs(PyObject* self, PyObject* value, void*) {
    SlaveCore& core = core_of(self);
    if (value == nullptr) return binding::refuse_delete("inputs");
    if (!binding::check_type(value, &PyBytes_Type, "inputs", true)) return -1;
    const std::size_t size = core.config().inputs_size;
    if (static_cast<std::size_t>(PyBytes_GET_SIZE(value)) != size) {
        PyErr_Format(PyExc_ValueError, "inputs must be %zu bytes, got %zd", size, PyBytes_GET_SIZE(value));
        return -1;
    }
    std::copy_n(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value)), size, core.inputs().begin());
    return 0;
}

PyObject* get_outputs(PyObject* self, void*) {
    const SlaveCore& core = core_of(self);
    return bytes_of(core.outputs().data(), core.config().outputs_size);
}

PyObject* get_outputs_fail_safe(PyObject* self, void*) { return PyBool_FromLong(core_of(self).outputs_fail_safe()); }
PyObject* get_phase(PyObject* self, void*) { return PyLong_FromLong(static_cast<long>(core_of(self).phase())); }
PyObject* get_sequence_number(PyObject* self, void*) { return PyLong_FromLong(core_of(self).sequence_number()); }
PyObject* get_requests(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(core_of(self).requests()); }
PyObject* get_master_session_id(PyObject* self, void*) { return optional_int(core_of(self).master_session_id()); }
PyObject* get_master_error(PyObject* self, void*) { return optional_int(core_of(self).master_error()); }
PyObject* get_rejections(PyObject* self, void*) {
    return PyList_GetSlice(as_slave(self)->rejections, 0, PY_SSIZE_T_MAX);
}
PyObject* get_last_reply(PyObject* self, void*) { return Py_NewRef(as_slave(self)->reply); }
PyObject* get_chunk(PyObject* self, void*) { return PyLong_FromSize_t(core_of(self).chunk()); }

PyObject* get_last_fault(PyObject* self, void*) {
    const Fault fault = as_slave(self)->last_fault;
    return Py_BuildValue("(II)", static_cast<unsigned>(fault.kind), unsigned{fault.argument});
}

SlaveCore* core_at(PyObject* self) { return &core_of(self); }
const Config* config_at(PyObject* self) { return &core_of(self).config(); }

using binding::method;
using binding::noargs_method;
using binding::param;

using methods = binding::methods<
    method<"reply",
           "reply(request: bytes, now_ms: int | None = None) -> bytes: answer one master frame image arriving at "
           "now_ms (a millisecond clock of the caller's; the monotonic clock when None).",
           slave_reply, param<"request", binding::exact_bytes>, param<"now_ms", binding::int_or_none, "None">>,
    method<"corrupt_crc", "corrupt_crc(slot=0): flip one CRC word of the next reply.", slave_corrupt_crc,
           param<"slot", binding::u16, "0">>,
    noargs_method<"corrupt_connection_id",
                  "corrupt_connection_id(): change the connection id of the next reply after its CRCs were computed.",
                  slave_corrupt_connection_id>,
    method<"send_command", "send_command(command): send this command byte in the next reply.", slave_send_command,
           param<"command", binding::u16>>,
    method<"send_reset",
           "send_reset(error): answer the next request with a Reset frame carrying this error code; the slave resets.",
           slave_send_reset, param<"error", binding::u16>>,
    noargs_method<"corrupt_echo",
                  "corrupt_echo(): flip the first echoed byte of the next Connection or Parameter reply.",
                  slave_corrupt_echo>,
    method<"silence", "silence(cycles): answer nothing new for this many calls of reply().", slave_silence,
           param<"cycles", binding::u32>>,
    noargs_method<"pending_faults", "pending_faults() -> bool: whether an injected fault or silence is still to come.",
                  slave_pending_faults>,
    noargs_method<"clear_faults", "clear_faults(): drop every fault not sent yet.", slave_clear_faults>,
    noargs_method<"_take_rejections",
                  "_take_rejections() -> list: the (error code, reason) of every refused frame so far; the list "
                  "starts empty again.",
                  slave_take_rejections>>;

using factory = binding::factory<
    "SlaveCore", "SlaveCore", "Protocol core of tamsel.slave.Slave.", slave_new, param<"slave_address", binding::u16>,
    param<"connection_id", binding::u16>, param<"watchdog_ms", binding::u16>, param<"outputs_size", frame_size>,
    param<"inputs_size", frame_size>, param<"app_parameters", binding::any_object, "b''">,
    param<"session_id", binding::any_object, "None">, param<"supervise_watchdog", binding::any_object, "True">>;

using binding::property;

// A number of the slave's configuration.
template <binding::Text Name, uint16_t Config::* Field, binding::Text Doc = "">
using setting = binding::readonly<Name, binding::through<config_at, Field>{}, binding::u16, Doc>;

using fields = binding::fields<
    property<"inputs", get_inputs, set_inputs, "Safe data of the slave's PROCESS_DATA replies (inputs_size bytes).">,
    binding::field<"fail_safe", binding::through<core_at, &SlaveCore::fail_safe>{}, binding::truth,
                   "Answer Data frames with FAILSAFE_DATA while true.">,
    property<"outputs", get_outputs, nullptr, "Safe data of the master's last Data frame (outputs_size bytes).">,
    property<"outputs_fail_safe", get_outputs_fail_safe, nullptr, "The master's last Data frame was FAILSAFE_DATA.">,
    property<"_phase", get_phase, nullptr, "Phase of the slave: 0 Reset to 4 Data.">,
    property<"sequence_number", get_sequence_number, nullptr, "Sequence number of the slave's next frame.">,
    property<"requests", get_requests, nullptr, "New master frames processed.">,
    property<"master_session_id", get_master_session_id, nullptr, "Session id received from the master, or None.">,
    property<"master_error", get_master_error, nullptr, "Error code of the master's last Reset frame, or None.">,
    property<"_rejections", get_rejections, nullptr, "(error code, reason) of every refused master frame.">,
    property<"last_reply", get_last_reply, nullptr, "The last reply sent (empty before the first).">,
    property<"_last_fault", get_last_fault, nullptr, "(fault kind, argument) sent in the last new reply.">,
    property<"chunk", get_chunk, nullptr, "Start-up bytes per frame: the smaller of the two sizes.">,
    setting<"slave_address", &Config::slave_address>, setting<"connection_id", &Config::connection_id>,
    setting<"watchdog_ms", &Config::watchdog_ms>, setting<"outputs_size", &Config::outputs_size>,
    setting<"inputs_size", &Config::inputs_size>,
    setting<"session_id", &Config::session_id, "The slave's own session id.">>;

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factory::create)},
    {Py_tp_dealloc, reinterpret_cast<void*>(slave_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(slave_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(slave_clear)},
    {Py_tp_methods, methods::table},
    {Py_tp_getset, fields::getset},
    {Py_tp_doc, const_cast<char*>(factory::doc.data())},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "tamsel._slave.SlaveCore",
    sizeof(SlaveObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    type_slots,
};

}  // namespace

int add_slave_type(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "SlaveCore", type.get());
}

}  // namespace tamsel::slave

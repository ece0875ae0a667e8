// tamsel._core.ReplayCore: a recorded conversation taken through the master's rules, frame by
// frame, for tamsel._replay.
#include "binding/args.hpp"
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/ref.hpp"
#include "replay/replay_object.hpp"
#include "replay/replay_port.hpp"

#include <cstring>
#include <memory>

namespace tamsel::replay {

namespace {

using binding::Ref;

struct ReplayObject {
    PyObject_HEAD Conversation conversation;
};

ReplayObject* as_replay(PyObject* self) { return reinterpret_cast<ReplayObject*>(self); }

// An exact int within [0, max] or None: TypeError for another type, ValueError out of range.
bool small_int_or_none(PyObject* obj, const char* argname, long long max, std::optional<long long>& out) {
    if (!binding::check_type(obj, &PyLong_Type, argname, true, true)) return false;
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow || value < 0 || value > max) {
        PyErr_Format(PyExc_ValueError, "%s must be None or from 0 to %lld, got %R", argname, max, obj);
        return false;
    }
    out = value;
    return true;
}

// The state a frame was recorded in: None or 0 (Reset) to 4 (Data).
struct state_arg {
    using type = std::optional<core::State>;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        std::optional<long long> value;
        if (!small_int_or_none(obj, argname, core::state_count - 1, value)) return false;
        out.reset();
        if (value) out = static_cast<core::State>(*value);
        return true;
    }
};

struct connection_id_arg {
    using type = std::optional<uint16_t>;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        std::optional<long long> value;
        if (!small_int_or_none(obj, argname, 0xFFFF, value)) return false;
        out.reset();
        if (value) out = static_cast<uint16_t>(*value);
        return true;
    }
};

// Bytes of a frame image: any length a frame can be parsed from.
struct image_arg {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (!binding::exact_bytes::convert(obj, argname, out)) return false;
        if (static_cast<std::size_t>(PyBytes_GET_SIZE(obj)) <= frame::MAX_PARSE_LENGTH) return true;
        PyErr_Format(PyExc_ValueError, "%s must be at most %zu bytes, got %zd", argname, frame::MAX_PARSE_LENGTH,
                     PyBytes_GET_SIZE(obj));
        return false;
    }
};

Recorded recorded(std::optional<core::State> state, PyObject* data, bool check) {
    Recorded r;
    r.data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    r.length = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    r.state = state;
    r.check = check;
    return r;
}

// The CRC words of a frame's slots.
PyObject* crc_tuple(const frame::CrcWords& words, std::size_t slots) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(slots)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < slots; ++i) {
        PyObject* word = PyLong_FromUnsignedLong(words[i]);
        if (!word) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), word);
    }
    return tuple.release();
}

// The error code a fault transition sends, as the cause of the frame it was taken for.
const char* fault_name(core::ErrorCode error) {
    switch (error) {
        case core::ErrorCode::unknown_cmd: return "unknown_cmd";
        case core::ErrorCode::invalid_cmd: return "invalid_cmd";
        case core::ErrorCode::invalid_connid: return "invalid_connid";
        case core::ErrorCode::invalid_crc: return "invalid_crc";
        case core::ErrorCode::invalid_data: return "invalid_data";
        default: return nullptr;
    }
}

PyObject* replay_new(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) std::construct_at(&as_replay(self)->conversation);
    return self;
}

void replay_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_replay(self)->conversation);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* replay_request(PyObject* self, std::optional<core::State> state, PyObject* data, bool check) {
    Conversation& c = as_replay(self)->conversation;
    const Judgement j = take_request(c, recorded(state, data, check));
    if (!j.crcs_ok) Py_RETURN_NONE;
    Ref expected = Ref::steal(crc_tuple(j.expected, c.master.slots()));
    if (!expected) return nullptr;
    return Py_BuildValue("(OO)", *j.crcs_ok ? Py_True : Py_False, expected.get());
}

PyObject* replay_reply(PyObject* self, std::optional<core::State> state, PyObject* data,
                       std::optional<uint16_t> connection_id, bool check) {
    Conversation& c = as_replay(self)->conversation;
    Recorded r = recorded(state, data, check);
    r.connection_id = connection_id;
    const Judgement j = take_reply(c, r);
    // The first check the frame fails: a fault the checks lead to, or a CRC refused where the
    // state lets the slave try again.
    const char* fault = nullptr;
    if (j.taken && core::info(*j.taken).kind == core::ActionKind::fault) fault = fault_name(core::info(*j.taken).error);
    if (!fault && j.crcs_ok == false) fault = fault_name(core::ErrorCode::invalid_crc);
    Ref ok = Ref::borrow(j.crcs_ok ? (*j.crcs_ok ? Py_True : Py_False) : Py_None);
    Ref expected = j.crcs_ok ? Ref::steal(crc_tuple(j.expected, c.slave.slots())) : Ref::borrow(Py_None);
    if (!expected) return nullptr;
    return Py_BuildValue("(zOO)", fault, ok.get(), expected.get());
}

PyObject* replay_perform(PyObject* self, PyObject* name) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) return nullptr;
    for (int i = 0; i < core::transition_count; ++i) {
        const char* known = core::transitions[i].name;
        if (std::strlen(known) == static_cast<std::size_t>(length) && std::memcmp(known, text, length) == 0) {
            perform(as_replay(self)->conversation, static_cast<core::Transition>(i));
            Py_RETURN_NONE;
        }
    }
    PyErr_Format(PyExc_ValueError, "no transition is named %R", name);
    return nullptr;
}

using binding::method;
using binding::param;

using methods = binding::methods<
    method<"request",
           "request(state: int | None, data: bytes, check: bool) -> tuple[bool, tuple[int, ...]] | None: stamp a "
           "recorded master frame built in `state`; with `check`, whether its CRCs are the predicted ones, and "
           "those (None when they cannot be predicted).",
           replay_request, param<"state", state_arg>, param<"data", image_arg>, param<"check", binding::truth>>,
    method<"reply",
           "reply(state: int | None, data: bytes, connection_id: int | None, check: bool) -> tuple[str | None, "
           "bool | None, tuple[int, ...] | None]: take a recorded slave frame in `state` through the master's "
           "checks: the error code of the first check it fails (or None), and with `check` whether its CRCs "
           "are the predicted ones and those.",
           replay_reply, param<"state", state_arg>, param<"data", image_arg>, param<"connection_id", connection_id_arg>,
           param<"check", binding::truth>>,
    method<"perform", "perform(transition: str): run the action of the transition of this name on the frames.",
           replay_perform, param<"transition", binding::exact_str>>>;

using factory = binding::factory<"ReplayCore", "ReplayCore",
                                 "The frames and counters a master keeps, replayed from a recording.", replay_new>;

using fields =
    binding::fields<binding::field<"cyclic", binding::at<&ReplayObject::conversation, &Conversation::cyclic>{},
                                   binding::truth, "The CRCs of the next request are cyclic.">>;

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factory::create)},
    {Py_tp_dealloc, reinterpret_cast<void*>(replay_dealloc)},
    {Py_tp_methods, methods::table},
    {Py_tp_getset, fields::getset},
    {Py_tp_doc, const_cast<char*>(factory::doc.data())},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "tamsel._core.ReplayCore", sizeof(ReplayObject), 0, Py_TPFLAGS_DEFAULT, type_slots,
};

}  // namespace

int add_replay_type(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "ReplayCore", type.get());
}

}  // namespace tamsel::replay

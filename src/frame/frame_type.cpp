// FSOEFrame: one FSoE frame held by value, with its three views.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "frame/frame_object.hpp"
#include "frame/views.hpp"

#include <new>
#include <optional>

namespace tamsel::frame {

namespace {

using binding::Ref;

FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

// Replaces the three views with new ones bound to the frame.
bool make_views(FrameObject* self) {
    PyObject* owner = reinterpret_cast<PyObject*>(self);
    Ref control = Ref::steal(new_control_view(owner, &self->frame.control));
    Ref safe_data = Ref::steal(new_word_view(owner, self->frame.safe_data.data(), MAX_DATA_WORDS));
    Ref crcs = Ref::steal(new_word_view(owner, self->frame.crcs.data(), MAX_CRC_WORDS));
    if (!control || !safe_data || !crcs) return false;
    self->control = std::move(control);
    self->safe_data = std::move(safe_data);
    self->crcs = std::move(crcs);
    return true;
}

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    FrameObject* frame = as_frame(self);
    new (&frame->frame) Frame{};
    new (&frame->control) Ref();
    new (&frame->safe_data) Ref();
    new (&frame->crcs) Ref();
    return self;
}

// The safe-data size for a byte-image length; false with ValueError when it exceeds the frame.
bool size_for_length(PyObject* length, uint16_t& size) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(length, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || value > static_cast<long long>(MAX_PARSE_LENGTH)) {
        raise_too_many_bytes();
        return false;
    }
    size = value <= 0 ? 0 : static_cast<uint16_t>(safe_data_size_for_length(static_cast<std::size_t>(value)));
    return true;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!binding::parse_tuple("__init__", args, kwargs, {"length"}, 0, argv)) return -1;
    uint16_t size = 0;
    if (argv[0] && (!binding::check_type(argv[0], &PyLong_Type, "length", true) || !size_for_length(argv[0], size)))
        return -1;
    FrameObject* frame = as_frame(self);
    frame->frame = Frame{};
    frame->frame.safe_data_size = size;
    return make_views(frame) ? 0 : -1;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_frame(self)->control.get());
    Py_VISIT(as_frame(self)->safe_data.get());
    Py_VISIT(as_frame(self)->crcs.get());
    return 0;
}

int clear(PyObject* self) {
    as_frame(self)->control.reset();
    as_frame(self)->safe_data.reset();
    as_frame(self)->crcs.reset();
    return 0;
}

void dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        clear(self);
        FrameObject* frame = as_frame(self);
        frame->crcs.~Ref();
        frame->safe_data.~Ref();
        frame->control.~Ref();
        frame->frame.~Frame();
    });
}

// A view property; the views are made on first use when a subclass skipped the constructor.
template <Ref FrameObject::*view>
PyObject* get_view(PyObject* self, void*) {
    FrameObject* frame = as_frame(self);
    if (!(frame->*view) && !make_views(frame)) return nullptr;
    return (frame->*view).new_ref();
}

PyObject* get_size(PyObject* self, void*) { return PyLong_FromLong(as_frame(self)->frame.safe_data_size); }

int set_size(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    if (!binding::check_type(value, &PyLong_Type, "value", true)) return -1;
    int overflow = 0;
    long long size = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow > 0 || size > static_cast<long long>(MAX_DATA_BYTES)) {
        raise_too_many_bytes();
        return -1;
    }
    uint16_t checked = 0;
    if (!binding::to_unsigned(value, checked)) return -1;
    as_frame(self)->frame.safe_data_size = checked;
    return 0;
}

// The one argument `data` of `function`, which must be bytes: the object and its buffer, or
// false with the TypeError.
bool data_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject*& data, const char*& buffer, Py_ssize_t& length) {
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {"data"}, 1, &data) ||
        !binding::check_type(data, &PyBytes_Type, "data", true))
        return false;
    buffer = PyBytes_AS_STRING(data);
    length = PyBytes_GET_SIZE(data);
    return true;
}

// Parses a byte image into `frame`; false with ValueError when it implies too much safe data.
bool load_image(Frame& frame, const char* buffer, Py_ssize_t length) {
    if (parse_bytes(frame, buffer, length)) return true;
    raise_too_many_bytes();
    return false;
}

PyObject* frame_from_array(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    const char* buffer = nullptr;
    Py_ssize_t length = 0;
    if (!data_argument("frame_from_array", args, nargs, kwnames, data, buffer, length)) return nullptr;
    Ref size = Ref::steal(PyLong_FromSsize_t(length));
    if (!size) return nullptr;
    Ref frame = Ref::steal(PyObject_CallOneArg(cls, size.get()));
    if (!frame) return nullptr;
    if (is_exact_frame(frame.get()))
        return load_image(as_frame(frame.get())->frame, buffer, length) ? frame.release() : nullptr;
    Ref done = Ref::steal(PyObject_CallMethod(frame.get(), "_frame_from_array", "O", data));
    return done ? frame.release() : nullptr;
}

PyObject* frame_from_array_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    const char* buffer = nullptr;
    Py_ssize_t length = 0;
    if (!data_argument("_frame_from_array", args, nargs, kwnames, data, buffer, length)) return nullptr;
    if (!load_image(as_frame(self)->frame, buffer, length)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* frame_to_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binding::parse_fastcall("frame_to_array", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
    return image_bytes(as_frame(self)->frame);
}

PyObject* calc_crc0_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binding::parse_fastcall("calc_crc0", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
    return PyLong_FromLong(calc_crc0(as_frame(self)->frame));
}

PyObject* generate_crcs_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binding::parse_fastcall("generate_crcs", args, nargs, kwnames, {}, 0, nullptr) ||
        !generate_crcs(*as_frame(self)))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* check_crcs_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binding::parse_fastcall("check_crcs", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
    int valid = check_crcs(*as_frame(self));
    return valid < 0 ? nullptr : PyBool_FromLong(valid);
}

// The int argument `last_sent_crc_0`: `crc0` is set when it is a 16-bit value (any other
// value can never equal a CRC_0, so the cyclic rule has nothing to avoid).
bool last_crc0_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::optional<uint16_t>& crc0) {
    PyObject* argv[1];
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {"last_sent_crc_0"}, 1, argv) ||
        !binding::check_type(argv[0], &PyLong_Type, "last_sent_crc_0", true))
        return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(argv[0], &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow == 0 && value >= 0 && value <= 0xFFFF) crc0 = static_cast<uint16_t>(value);
    return true;
}

PyObject* generate_crcs_cyclic_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<uint16_t> last;
    if (!last_crc0_argument("generate_crcs_cyclic", args, nargs, kwnames, last)) return nullptr;
    bool done = last ? generate_crcs_cyclic(*as_frame(self), *last) : generate_crcs(*as_frame(self));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

PyObject* check_crcs_cyclic_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<uint16_t> last;
    if (!last_crc0_argument("check_crcs_cyclic", args, nargs, kwnames, last)) return nullptr;
    int valid = last ? check_crcs_cyclic(*as_frame(self), *last) : check_crcs(*as_frame(self));
    return valid < 0 ? nullptr : PyBool_FromLong(valid);
}

PyObject* set_safe_data_bytes_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    const char* buffer = nullptr;
    Py_ssize_t length = 0;
    if (!data_argument("set_safe_data_bytes", args, nargs, kwnames, data, buffer, length)) return nullptr;
    if (!set_safe_data_bytes(as_frame(self)->frame, reinterpret_cast<const uint8_t*>(buffer),
                             static_cast<std::size_t>(length))) {
        raise_too_many_bytes();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_safe_data_bytes_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binding::parse_fastcall("get_safe_data_bytes", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
    std::array<uint8_t, MAX_DATA_BYTES> bytes{};
    get_safe_data_bytes(as_frame(self)->frame, bytes);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"frame_from_array", binding::as_method(frame_from_array), fastcall_flags | METH_CLASS,
     "Convert bytes to a new FSOE Frame"},
    {"_frame_from_array", binding::as_method(frame_from_array_into), fastcall_flags,
     "Convert bytes to this FSOE Frame structure"},
    {"frame_to_array", binding::as_method(frame_to_array), fastcall_flags, "Convert frame to bytes"},
    {"calc_crc0", binding::as_method(calc_crc0_method), fastcall_flags,
     "Calculate crc0 for the current safe-data and frame control"},
    {"generate_crcs", binding::as_method(generate_crcs_method), fastcall_flags, nullptr},
    {"check_crcs", binding::as_method(check_crcs_method), fastcall_flags, nullptr},
    {"generate_crcs_cyclic", binding::as_method(generate_crcs_cyclic_method), fastcall_flags, nullptr},
    {"check_crcs_cyclic", binding::as_method(check_crcs_cyclic_method), fastcall_flags, nullptr},
    {"set_safe_data_bytes", binding::as_method(set_safe_data_bytes_method), fastcall_flags, "Set safe data from bytes"},
    {"get_safe_data_bytes", binding::as_method(get_safe_data_bytes_method), fastcall_flags, "Get safe data as bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"safe_data_size_bytes", get_size, set_size, "Number of SafeData bytes", nullptr},
    {"control", get_view<&FrameObject::control>, nullptr, nullptr, nullptr},
    {"safe_data", get_view<&FrameObject::safe_data>, nullptr, nullptr, nullptr},
    {"crcs", get_view<&FrameObject::crcs>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("FSOE Frame")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {0, nullptr},
};

PyType_Spec spec = {
    "tamsel.tamsel.FSOEFrame",
    sizeof(FrameObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& frame_spec() { return spec; }

}  // namespace tamsel::frame

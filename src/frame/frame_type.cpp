// FSOEFrame: one FSoE frame held by value, with its three views.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
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

// A new view of the kind `view` names, bound to the frame.
template <Ref FrameObject::* view>
Ref new_view(FrameObject* self) {
    PyObject* owner = reinterpret_cast<PyObject*>(self);
    if constexpr (view == &FrameObject::control) return Ref::steal(new_control_view(owner, &self->frame.control));
    else if constexpr (view == &FrameObject::safe_data)
        return Ref::steal(new_word_view(owner, self->frame.safe_data.data(), MAX_DATA_WORDS));
    else return Ref::steal(new_word_view(owner, self->frame.crcs.data(), MAX_CRC_WORDS));
}

using native_members =
    binding::native<&FrameObject::frame, &FrameObject::control, &FrameObject::safe_data, &FrameObject::crcs>;

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) { return native_members::allocate(type); }

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

bool init(FrameObject* frame, PyObject* length) {
    uint16_t size = 0;
    if (!size_for_length(length, size)) return false;
    frame->frame = Frame{};
    frame->frame.safe_data_size = size;
    // The views are made when first read: most frames (those of the handlers) are never looked
    // at through them. Constructing again gives new views, as it gives a new frame.
    frame->control = Ref{};
    frame->safe_data = Ref{};
    frame->crcs = Ref{};
    return true;
}

using views = binding::references<&FrameObject::control, &FrameObject::safe_data, &FrameObject::crcs>;
constexpr auto traverse = views::traverse;
constexpr auto clear = views::clear;

void dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        clear(self);
        native_members::destroy(self);
    });
}

// A view property: the view is made on first use and is the same object from then on.
template <Ref FrameObject::* view>
PyObject* get_view(PyObject* self, void*) {
    FrameObject* frame = as_frame(self);
    if (!(frame->*view)) {
        Ref made = new_view<view>(frame);
        if (!made) return nullptr;
        if (!(frame->*view)) frame->*view = std::move(made);
    }
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

// Parses a byte image into `frame`; false with ValueError when it implies too much safe data.
bool load_image(Frame& frame, PyObject* data) {
    if (parse_bytes(frame, PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data))) return true;
    raise_too_many_bytes();
    return false;
}

PyObject* frame_from_array(PyObject* cls, PyObject* data) {
    Ref size = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    if (!size) return nullptr;
    Ref frame = Ref::steal(PyObject_CallOneArg(cls, size.get()));
    if (!frame) return nullptr;
    if (is_exact_frame(frame.get())) return load_image(as_frame(frame.get())->frame, data) ? frame.release() : nullptr;
    Ref done = Ref::steal(PyObject_CallMethod(frame.get(), "_frame_from_array", "O", data));
    return done ? frame.release() : nullptr;
}

bool frame_from_array_into(FrameObject* self, PyObject* data) { return load_image(self->frame, data); }

PyObject* frame_to_array(FrameObject* self) { return image_bytes(self->frame); }

PyObject* calc_crc0_method(FrameObject* self) { return PyLong_FromLong(calc_crc0(self->frame)); }

bool generate_crcs_method(FrameObject* self) { return generate_crcs(*self); }

PyObject* check_crcs_method(FrameObject* self) {
    int valid = check_crcs(*self);
    return valid < 0 ? nullptr : PyBool_FromLong(valid);
}

// The int argument `last_sent_crc_0`: set when it is a 16-bit value (any other value can
// never equal a CRC_0, so the cyclic rule has nothing to avoid).
struct last_crc0 {
    using type = std::optional<uint16_t>;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (!binding::check_type(obj, &PyLong_Type, argname, true)) return false;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow == 0 && value >= 0 && value <= 0xFFFF) out = static_cast<uint16_t>(value);
        return true;
    }
};

bool generate_crcs_cyclic_method(FrameObject* self, std::optional<uint16_t> last) {
    return last ? generate_crcs_cyclic(*self, *last) : generate_crcs(*self);
}

PyObject* check_crcs_cyclic_method(FrameObject* self, std::optional<uint16_t> last) {
    int valid = last ? check_crcs_cyclic(*self, *last) : check_crcs(*self);
    return valid < 0 ? nullptr : PyBool_FromLong(valid);
}

bool set_safe_data_bytes_method(FrameObject* self, PyObject* data) {
    if (set_safe_data_bytes(self->frame, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(data))))
        return true;
    raise_too_many_bytes();
    return false;
}

PyObject* get_safe_data_bytes_method(FrameObject* self) {
    std::array<uint8_t, MAX_DATA_BYTES> bytes{};
    get_safe_data_bytes(self->frame, bytes);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

using binding::method;
using binding::param;
using Data = param<"data", binding::exact_bytes>;
using LastCrc0 = param<"last_sent_crc_0", last_crc0>;

using constructor = binding::constructor<init, param<"length", binding::exact_int, "0">>;

using methods = binding::methods<
    binding::class_method<"frame_from_array", "Convert bytes to a new FSOE Frame", frame_from_array, Data>,
    method<"_frame_from_array", "Convert bytes to this FSOE Frame structure", frame_from_array_into, Data>,
    method<"frame_to_array", "Convert frame to bytes", frame_to_array>,
    method<"calc_crc0", "Calculate crc0 for the current safe-data and frame control", calc_crc0_method>,
    method<"generate_crcs", "", generate_crcs_method>, method<"check_crcs", "", check_crcs_method>,
    method<"generate_crcs_cyclic", "", generate_crcs_cyclic_method, LastCrc0>,
    method<"check_crcs_cyclic", "", check_crcs_cyclic_method, LastCrc0>,
    method<"set_safe_data_bytes", "Set safe data from bytes", set_safe_data_bytes_method, Data>,
    method<"get_safe_data_bytes", "Get safe data as bytes", get_safe_data_bytes_method>>;

using binding::property;

using fields = binding::fields<property<"safe_data_size_bytes", get_size, set_size, "Number of SafeData bytes">,
                               property<"control", get_view<&FrameObject::control>>,
                               property<"safe_data", get_view<&FrameObject::safe_data>>,
                               property<"crcs", get_view<&FrameObject::crcs>>>;

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(constructor::doc<"FSOEFrame", "FSOE Frame">.data())},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(constructor::init)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods::table},
    {Py_tp_getset, fields::getset},
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

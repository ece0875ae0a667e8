// DynamicMappableItem: a typed value held in its integer form, streamed by a dynamic map.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "data/data_type_object.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "mapping/dynamic_map_types.hpp"

namespace tamsel::mapping {

using binding::Ref;

namespace {

// data_type.serialize_value(value) as a 32-bit integer form; a member of DataType converts
// natively, any other data type object through its method.
bool serialize(PyObject* data_type, PyObject* value, std::uint32_t& raw) {
    if (std::optional<data::DataType> type = data::data_type_of(data_type)) {
        std::uint64_t form = 0;
        if (!data::serialize_integer_form(*type, value, form)) return false;
        raw = static_cast<std::uint32_t>(form);  // a member's integer form has at most 32 bits
        return true;
    }
    Ref serialized = Ref::steal(data::serialize_value(data_type, value));
    return serialized && binding::to_unsigned(serialized.get(), raw);
}

// data_type.bytes, refused above what the integer form holds.
bool value_bytes(PyObject* data_type, std::uint8_t& n_bytes) {
    if (std::optional<data::DataType> type = data::data_type_of(data_type)) {
        n_bytes = data::bytes(*type);
        return true;
    }
    Ref bytes = Ref::steal(PyObject_GetAttr(data_type, binding::names().bytes));
    if (!bytes) return false;
    Ref number = Ref::steal(PyNumber_Index(bytes.get()));
    if (!number) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || value > max_dynamic_value_bytes) {
        PyErr_SetString(PyExc_NotImplementedError, "Cannot handle more than 4 bytes");
        return false;
    }
    if (overflow < 0 || value < 0) {
        PyErr_SetString(PyExc_ValueError, "Number of bytes cannot be negative");
        return false;
    }
    n_bytes = static_cast<std::uint8_t>(value);
    return true;
}

bool item_set(DynamicItemObject* item, PyObject* value) { return dynamic_item_set(item, value) >= 0; }

// `value` goes through the object's own get/set, so subclasses that override them apply.
PyObject* value_get(PyObject* self, void*) { return PyObject_CallMethodNoArgs(self, binding::names().get); }

int value_set(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return binding::refuse_delete("value");
    Ref result = Ref::steal(PyObject_CallMethodOneArg(self, binding::names().set, value));
    return result ? 0 : -1;
}

using item_constructor = binding::constructor<dynamic_item_init, binding::param<"initial_value", binding::any_object>,
                                              binding::param<"data_type", binding::any_object>>;

using item_methods = binding::methods<
    binding::noargs_method<"get", "Get value of the item", dynamic_item_get>,
    binding::method<"set", "Set value of the item", item_set, binding::param<"value", binding::any_object>>>;

using binding::readonly;
constexpr binding::at<&DynamicItemObject::value, &DynamicValue::raw> raw_form{};

using item_fields =
    binding::fields<binding::property<"value", value_get, value_set, "Value of the item">,
                    readonly<"raw_value", raw_form, binding::u32, "Value of the item in its integer representation">,
                    readonly<"_raw_value", raw_form, binding::u32>,
                    readonly<"data_type", &DynamicItemObject::data_type, binding::any_object, "Data type of the item">,
                    readonly<"n_bytes", binding::at<&DynamicItemObject::value, &DynamicValue::n_bytes>{}, binding::u8,
                             "Number of bytes of the item">>;

PyType_Slot item_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    item_constructor::doc<"DynamicMappableItem", "Item that can be mapped to a dynamic map">.data())},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(item_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dynamic_item_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(dynamic_item_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dynamic_item_clear)},
    {Py_tp_methods, item_methods::table},
    {Py_tp_getset, item_fields::getset},
    {0, nullptr},
};

PyType_Spec item_spec = {
    "tamsel.tamsel.DynamicMappableItem",
    sizeof(DynamicItemObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    item_slots,
};

}  // namespace

using item_references = binding::references<&DynamicItemObject::data_type>;

int dynamic_item_traverse(PyObject* self, visitproc visit, void* arg) {
    return item_references::traverse(self, visit, arg);
}

int dynamic_item_clear(PyObject* self) { return item_references::clear(self); }

void dynamic_item_dealloc(PyObject* self) { binding::gc_dealloc(self, dynamic_item_clear); }

bool is_dynamic_item(PyObject* obj) {
    return PyObject_TypeCheck(obj, binding::as_type(binding::state().DynamicMappableItem));
}

bool exact_uint16_value(PyObject* item, std::uint16_t& out) {
    if (!item || !Py_IS_TYPE(item, binding::as_type(binding::state().DynamicMappableItem))) return false;
    const DynamicItemObject* own = as_dynamic_item(item);
    if (own->data_type != data::data_type_member(data::DataType::UINT16) || own->value.n_bytes != 2) return false;
    out = static_cast<std::uint16_t>(own->value.raw);
    return true;
}

PyObject* new_dynamic_item(PyObject* initial_value, PyObject* data_type) {
    return PyObject_CallFunctionObjArgs(binding::state().DynamicMappableItem.get(), initial_value, data_type, nullptr);
}

int dynamic_item_init(DynamicItemObject* self, PyObject* initial_value, PyObject* data_type) {
    std::uint32_t raw = 0;
    std::uint8_t n_bytes = 0;
    if (!serialize(data_type, initial_value, raw)) return -1;
    bool sized = value_bytes(data_type, n_bytes);
    if (!sized && !PyErr_ExceptionMatches(PyExc_NotImplementedError)) return -1;
    // The value is stored even when its size is refused; such an item transfers no bytes.
    binding::assign(self->data_type, data_type);
    self->value = DynamicValue{raw, n_bytes};
    return sized ? 0 : -1;
}

PyObject* dynamic_item_get(DynamicItemObject* self) {
    if (self->data_type == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "DynamicMappableItem has no data type: __init__ was not called");
        return nullptr;
    }
    if (std::optional<data::DataType> type = data::data_type_of(self->data_type))
        return data::unserialize_integer_form(*type, self->value.raw);
    Ref raw = Ref::steal(PyLong_FromUnsignedLong(self->value.raw));
    return raw ? data::unserialize_value(self->data_type, raw.get()) : nullptr;
}

int dynamic_item_set(DynamicItemObject* self, PyObject* value) {
    if (self->data_type == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "DynamicMappableItem has no data type: __init__ was not called");
        return -1;
    }
    std::uint32_t raw = 0;
    if (!serialize(self->data_type, value, raw)) return -1;
    self->value.raw = raw;
    return 0;
}

bool add_dynamic_item_type(PyObject* module) {
    return binding::add_type(module, &item_spec, nullptr, binding::state().DynamicMappableItem);
}

}  // namespace tamsel::mapping

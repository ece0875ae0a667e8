// Values of dictionary items: storing input values with change notification, the integer form
// of outputs, and the C++ entry points that honour host subclasses.
#include "data/item_values.hpp"

#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "binding/host_calls.hpp"
#include "data/data_type_object.hpp"
#include "data/item_subscribers.hpp"

#include <utility>

namespace tamsel::data {

using binding::Ref;

PyObject* raise_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

PyTypeObject* item_type(ItemKind kind) {
    binding::ModuleState& st = binding::state();
    switch (kind) {
        case ItemKind::input: return binding::as_type(st.DictionaryItemInput);
        case ItemKind::output: return binding::as_type(st.DictionaryItemOutput);
        case ItemKind::input_output: return binding::as_type(st.DictionaryItemInputOutput);
        case ItemKind::base: break;
    }
    return binding::as_type(st.DictionaryItem);
}

bool is_item(PyObject* obj) { return PyObject_TypeCheck(obj, item_type(ItemKind::base)); }

std::optional<ItemKind> exact_item_kind(PyObject* obj) {
    const binding::ModuleState& st = binding::state();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (type == st.DictionaryItemInput.get()) return ItemKind::input;
    if (type == st.DictionaryItemOutput.get()) return ItemKind::output;
    if (type == st.DictionaryItemInputOutput.get()) return ItemKind::input_output;
    if (type == st.DictionaryItem.get()) return ItemKind::base;
    return std::nullopt;
}

ItemKind kind_of_item(PyObject* item) {
    if (auto kind = exact_item_kind(item)) return *kind;
    for (ItemKind kind : {ItemKind::input, ItemKind::output, ItemKind::input_output})
        if (PyObject_TypeCheck(item, item_type(kind))) return kind;
    return ItemKind::base;
}

std::optional<ItemKind> item_kind(PyObject* obj) {
    if (!is_item(obj)) return std::nullopt;
    return kind_of_item(obj);
}

std::optional<DataType> item_data_type(PyObject* item) {
    if (!is_item(item) || !as_item(item)->has_known_type) return std::nullopt;
    return as_item(item)->known_type;
}

namespace {

// 1 when the host's `current != value` holds, 0 when it does not, -1 on error.
int differs(PyObject* current, PyObject* value) {
    std::optional<Scalar> a = scalar_of(current);
    std::optional<Scalar> b = scalar_of(value);
    if (a && b) return !numerically_equal(*a, *b);
    Ref result = Ref::steal(PyObject_RichCompare(current, value, Py_NE));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Stores the value (taking over the reference) and notifies the subscribers; the old value is
// released once the new one is in place.
bool store_and_notify(ItemObject* item, Ref value) {
    Ref::steal(std::exchange(input_slot(item), value.release())).reset();
    touch_inputs(item);
    return notify_subscribers(item);
}

}  // namespace

PyObject* make_pending_input(ItemObject* item) {
    // Only forms that unserialize represents are stored pending.
    input_slot(item) = scalar_to_object(*unserialize(item->known_type, item->pending_form));
    return input_slot(item);
}

std::optional<Scalar> input_scalar(ItemObject* item) {
    PyObject* value = input_slot(item);
    return value ? scalar_of(value) : unserialize(item->known_type, item->pending_form);
}

bool set_input_value(ItemObject* item, PyObject* value) {
    PyObject* held = input_value(item);
    if (!held) return false;
    Ref current = Ref::borrow(held);
    Ref incoming = Ref::borrow(value);
    int changed = differs(current.get(), incoming.get());
    if (changed <= 0) return changed == 0;
    return store_and_notify(item, std::move(incoming));
}

bool write_input_integer(ItemObject* item, uint64_t value) {
    if (!item->has_known_type) {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
        return number && write_input_object(item, number.get());
    }
    std::optional<Scalar> incoming = unserialize(item->known_type, value);
    if (!incoming) {
        Ref converted = Ref::steal(unserialize_integer_form(item->known_type, value));
        return converted && set_input_value(item, converted.get());
    }
    std::optional<Scalar> current = input_scalar(item);
    if (current && numerically_equal(*current, *incoming)) return true;
    Ref converted = Ref::steal(scalar_to_object(*incoming));
    if (!converted) return false;
    return current ? store_and_notify(item, std::move(converted)) : set_input_value(item, converted.get());
}

bool store_input_form(ItemObject* item, uint32_t form, uint32_t held) {
    // Forms of 32 bits always compare (FormComparison::unknown needs more).
    if (compare_forms(item->known_type, form, held) == FormComparison::equal) return false;
    // The old value goes first; it is a plain number (or nothing), whose release runs no host code.
    if (PyObject* old = std::exchange(input_slot(item), nullptr)) Py_DECREF(old);
    item->pending_form = form;
    touch_inputs(item);
    return true;
}

bool write_input_object(ItemObject* item, PyObject* value) {
    if (item->has_known_type) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return false;
        if (overflow == 0 && number >= 0) return write_input_integer(item, static_cast<uint64_t>(number));
        Ref converted = Ref::steal(unserialize_value(item->known_type, value));
        return converted && set_input_value(item, converted.get());
    }
    Ref data_type = Ref::borrow(item->data_type);
    Ref converted = Ref::steal(py::call_method(data_type.get(), "unserialize_value", value));
    return converted && set_input_value(item, converted.get());
}

PyObject* read_output_object(ItemObject* item, ItemKind kind) {
    PyObject* held = output_value(item, kind);
    if (!held) return nullptr;
    Ref value = Ref::borrow(held);
    if (item->has_known_type) return serialize_value(item->known_type, value.get());
    Ref data_type = Ref::borrow(item->data_type);
    return serialize_value(data_type.get(), value.get());
}

ReadStatus read_output_integer(ItemObject* item, ItemKind kind, uint64_t& out) {
    if (item->has_known_type) {
        PyObject* value = output_value(item, kind);
        if (!value) return ReadStatus::error;
        if (std::optional<Scalar> scalar = scalar_of(value))
            return serialize_scalar(item->known_type, *scalar, value, out) ? ReadStatus::value : ReadStatus::error;
    }
    Ref result = Ref::steal(read_output_object(item, kind));
    if (!result) return ReadStatus::error;
    if (result.get() == Py_None) return ReadStatus::none;
    out = PyLong_AsUnsignedLongLongMask(result.get());
    return ReadStatus::value;
}

PyObject* get_value(ItemObject* item, ItemKind kind) {
    // An output's value lives in the input slot too (`_value`).
    if (kind == ItemKind::base) return raise_not_implemented();
    return Py_XNewRef(input_value(item));
}

bool set_value(ItemObject* item, ItemKind kind, PyObject* value) {
    switch (kind) {
        case ItemKind::base: raise_not_implemented(); return false;
        case ItemKind::input:
            PyErr_Format(PyExc_PermissionError, "Cannot set safe input item %S", item->name);
            return false;
        default:
            binding::assign(output_slot(item, kind), value);
            touch_outputs();
            return true;
    }
}

bool write_value(ItemObject* item, ItemKind kind, PyObject* value) {
    if (!binding::check_type(value, &PyLong_Type, "value", true)) return false;
    if (!has_input(kind)) {
        raise_not_implemented();
        return false;
    }
    return write_input_object(item, value);
}

bool set_fail_safe_value(ItemObject* item, ItemKind kind) {
    if (!has_input(kind)) return true;
    Ref fail_safe = Ref::borrow(item->fail_safe);
    return set_input_value(item, fail_safe.get());
}

// Entry points for the maps, the dictionary and the handler.

PyObject* read_object(PyObject* item) {
    if (std::optional<ItemKind> kind = exact_item_kind(item))
        return has_output(*kind) ? read_output_object(as_item(item), *kind) : raise_not_implemented();
    Ref result = Ref::steal(py::call_method(item, "_read"));
    if (!result || !binding::check_int_result(result.get())) return nullptr;
    return result.release();
}

ReadStatus read_integer(PyObject* item, uint64_t& out) {
    if (std::optional<ItemKind> kind = exact_item_kind(item)) {
        if (has_output(*kind)) return read_output_integer(as_item(item), *kind, out);
        raise_not_implemented();
        return ReadStatus::error;
    }
    Ref result = Ref::steal(read_object(item));
    if (!result) return ReadStatus::error;
    if (result.get() == Py_None) return ReadStatus::none;
    out = PyLong_AsUnsignedLongLongMask(result.get());
    return ReadStatus::value;
}

bool write_integer(PyObject* item, uint64_t value) {
    if (std::optional<ItemKind> kind = exact_item_kind(item)) {
        if (has_input(*kind)) return write_input_integer(as_item(item), value);
        raise_not_implemented();
        return false;
    }
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
    return number && Ref::steal(py::call_method(item, "_write", number.get()));
}

bool write_object(PyObject* item, PyObject* value) {
    if (std::optional<ItemKind> kind = exact_item_kind(item)) return write_value(as_item(item), *kind, value);
    return static_cast<bool>(Ref::steal(py::call_method(item, "_write", value)));
}

bool set_fail_safe(PyObject* item) {
    if (std::optional<ItemKind> kind = exact_item_kind(item)) return set_fail_safe_value(as_item(item), *kind);
    return static_cast<bool>(Ref::steal(py::call_method(item, "_set_fail_safe")));
}

}  // namespace tamsel::data

// The operations of FSOEDynamicMap: filling the item list and streaming it through frames.
#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "frame/frame_object.hpp"
#include "mapping/dynamic_map_object.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace tamsel::mapping {

using binding::Ref;

namespace {

constexpr std::size_t frame_data_bytes = frame::MAX_DATA_BYTES;

// The map's item list; TypeError/AttributeError as the host gives them for None.
bool require_list(DynamicMapObject* self, const char* attribute = nullptr) {
    if (PyList_Check(self->items)) return true;
    if (attribute != nullptr)
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'", Py_TYPE(self->items)->tp_name,
                     attribute);
    else PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(self->items)->tp_name);
    return false;
}

// items[index] as the host list gives it (new reference).
Ref list_item(PyObject* items, Py_ssize_t index) {
    if (!PyList_Check(items)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(items)->tp_name);
        return Ref();
    }
    return Ref::borrow(PyList_GetItem(items, index));
}

void raise_not_an_item(PyObject* obj) { binding::raise_expected("DynamicMappableItem", obj); }

// The cursor's view of a host list. No host code runs while a transfer walks it, so the list
// cannot change under the walk.
struct ListItems {
    PyObject* list;
    std::int64_t count() const { return PyList_GET_SIZE(list); }
    DynamicValue* operator()(std::int64_t index) const {
        PyObject* obj = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(index));
        if (!is_dynamic_item(obj)) {
            raise_not_an_item(obj);
            return nullptr;
        }
        return &as_dynamic_item(obj)->value;
    }
};

bool check_frame(PyObject* frame) {
    return binding::check_type(frame, binding::as_type(binding::state().FSOEFrame), "frame", false);
}

// A subclass may report any size; no more than a frame holds is ever moved.
bool check_frame_capacity(std::uint16_t valid_data_bytes) {
    if (valid_data_bytes <= frame_data_bytes) return true;
    frame::raise_too_many_bytes();
    return false;
}

// ---- frame safe-data access: native on FSOEFrame itself, through the methods of a subclass ----

bool frame_safe_data_size(PyObject* frame, long& size) {
    if (frame::is_exact_frame(frame)) {
        size = frame::frame_of(frame)->safe_data_size;
        return true;
    }
    Ref value = Ref::steal(PyObject_GetAttr(frame, binding::names().safe_data_size_bytes));
    if (!value) return false;
    size = PyLong_AsLong(value.get());
    return !(size == -1 && PyErr_Occurred());
}

bool frame_set_safe_data(PyObject* frame, const std::uint8_t* data, std::size_t length) {
    if (frame::is_exact_frame(frame)) {
        if (frame::set_safe_data_bytes(*frame::frame_of(frame), data, length)) return true;
        frame::raise_too_many_bytes();
        return false;
    }
    Ref bytes = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length)));
    if (!bytes) return false;
    Ref result = Ref::steal(PyObject_CallMethodOneArg(frame, binding::names().set_safe_data_bytes, bytes.get()));
    return static_cast<bool>(result);
}

bool frame_get_safe_data(PyObject* frame, std::array<std::uint8_t, frame_data_bytes>& out) {
    if (frame::is_exact_frame(frame)) {
        frame::get_safe_data_bytes(*frame::frame_of(frame), out);
        return true;
    }
    Ref bytes = Ref::steal(PyObject_CallMethodNoArgs(frame, binding::names().get_safe_data_bytes));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) < 0) return false;
    out.fill(0);
    std::memcpy(out.data(), data, std::min(static_cast<std::size_t>(length), out.size()));
    return true;
}

}  // namespace

bool is_dynamic_map(PyObject* obj) {
    return PyObject_TypeCheck(obj, binding::as_type(binding::state().FSOEDynamicMap));
}

PyObject* new_dynamic_map() { return PyObject_CallNoArgs(binding::state().FSOEDynamicMap.get()); }

int dynamic_map_clear(DynamicMapObject* self) {
    if (!require_list(self, "clear")) return -1;
    if (PyList_SetSlice(self->items, 0, PY_SSIZE_T_MAX, nullptr) < 0) return -1;
    self->cursor.reset();
    return 0;
}

int dynamic_map_add(DynamicMapObject* self, PyObject* item) {
    if (!binding::check_type(item, binding::as_type(binding::state().DynamicMappableItem), "item", false)) return -1;
    if (!require_list(self, "append")) return -1;
    const std::uint8_t n_bytes = as_dynamic_item(item)->value.n_bytes;
    if (self->cursor.total_bytes > INT32_MAX - n_bytes) {
        PyErr_SetString(PyExc_OverflowError, "Number of bytes in the dynamic map exceeds 2147483647");
        return -1;
    }
    if (PyList_Append(self->items, item) < 0) return -1;
    self->cursor.total_bytes += n_bytes;
    return 0;
}

Py_ssize_t dynamic_map_total_items(DynamicMapObject* self) {
    if (!require_list(self)) return -1;
    return PyList_GET_SIZE(self->items);
}

int dynamic_map_set_data_to_frame(DynamicMapObject* self, PyObject* frame, std::uint16_t valid_data_bytes) {
    if (!check_frame(frame)) return -1;
    long size = 0;
    if (!frame_safe_data_size(frame, size)) return -1;
    // From here on no host code runs until the frame is written.
    Py_ssize_t count = dynamic_map_total_items(self);
    if (count < 0) return -1;
    std::array<std::uint8_t, frame_data_bytes> data{};
    if (self->cursor.current_item >= count || valid_data_bytes > size)
        return frame_set_safe_data(frame, data.data(), 0) ? 0 : -1;
    if (!check_frame_capacity(valid_data_bytes)) return -1;
    ListItems view{self->items};
    std::ptrdiff_t written = self->cursor.put(view, std::span(data.data(), valid_data_bytes));
    if (written < 0) return -1;
    return frame_set_safe_data(frame, data.data(), static_cast<std::size_t>(written)) ? 0 : -1;
}

int dynamic_map_get_data_from_frame(DynamicMapObject* self, PyObject* frame, std::uint16_t valid_data_bytes) {
    if (!check_frame(frame)) return -1;
    long size = 0;
    if (!frame_safe_data_size(frame, size)) return -1;
    if (valid_data_bytes > size) return 0;
    if (!check_frame_capacity(valid_data_bytes)) return -1;
    std::array<std::uint8_t, frame_data_bytes> data{};
    if (!frame_get_safe_data(frame, data)) return -1;
    Py_ssize_t count = dynamic_map_total_items(self);
    if (count < 0) return -1;
    if (self->cursor.current_item >= count) return 0;
    ListItems view{self->items};
    return self->cursor.take(view, std::span<const std::uint8_t>(data.data(), valid_data_bytes)) ? 0 : -1;
}

int dynamic_map_is_safedata_correct(DynamicMapObject* self, PyObject* expected_map) {
    if (!binding::check_type(expected_map, binding::as_type(binding::state().FSOEDynamicMap), "expected_map", false))
        return -1;
    // Host code runs below (the items' `get`), so both maps are held and re-read at every step.
    Ref self_ref = Ref::borrow(reinterpret_cast<PyObject*>(self));
    Ref expected_ref = Ref::borrow(expected_map);
    DynamicMapObject* expected = as_dynamic_map(expected_map);
    Py_ssize_t total = dynamic_map_total_items(self);
    if (total < 0) return -1;
    const Py_ssize_t pending = total - self->cursor.items_processed;
    const Py_ssize_t processed = total - pending;
    for (Py_ssize_t i = 0; i < processed; ++i) {
        Ref own_item = list_item(self->items, i);
        if (!own_item) return -1;
        Ref own_value = Ref::steal(PyObject_GetAttr(own_item.get(), binding::names().value));
        if (!own_value) return -1;
        Ref expected_item = list_item(expected->items, i);
        if (!expected_item) return -1;
        Ref expected_value = Ref::steal(PyObject_GetAttr(expected_item.get(), binding::names().value));
        if (!expected_value) return -1;
        // A rich comparison, not an identity shortcut: NaN differs from itself.
        Ref differs = Ref::steal(PyObject_RichCompare(own_value.get(), expected_value.get(), Py_NE));
        if (!differs) return -1;
        int truth = PyObject_IsTrue(differs.get());
        if (truth < 0) return -1;
        if (truth) return 0;
    }
    const std::int32_t partial_bytes = self->cursor.current_item_byte;
    if (partial_bytes == 0) return 1;
    Ref own_item = list_item(self->items, processed);
    if (!own_item) return -1;
    Ref expected_item = list_item(expected->items, processed);
    if (!expected_item) return -1;
    for (PyObject* item : {own_item.get(), expected_item.get()})
        if (!is_dynamic_item(item)) {
            raise_not_an_item(item);
            return -1;
        }
    return dynamic_prefix_equal(as_dynamic_item(own_item.get())->value.raw,
                                as_dynamic_item(expected_item.get())->value.raw, partial_bytes)
               ? 1
               : 0;
}

}  // namespace tamsel::mapping

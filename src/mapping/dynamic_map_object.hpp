#pragma once
// C++ access to DynamicMappableItem and FSOEDynamicMap objects, for the states, the handler and
// the node classes. Every function that can fail returns -1 (or null) with a host exception set.
#include "binding/ref.hpp"
#include "mapping/dynamic_cursor.hpp"

#include <cstdint>

namespace tamsel::mapping {

// DynamicMappableItem and its subclasses (ApplicationParameter extends this layout).
struct DynamicItemObject {
    PyObject_HEAD DynamicValue value;  // integer form and its size in bytes (0 until initialised)
    PyObject* data_type;               // owned; null until initialised
};

// FSOEDynamicMap (not subclassable).
struct DynamicMapObject {
    PyObject_HEAD PyObject* items;  // owned: a list, or None when the host assigned None
    DynamicCursor cursor;
};

// Type tests: subclasses of DynamicMappableItem count.
bool is_dynamic_item(PyObject* obj);
bool is_dynamic_map(PyObject* obj);

inline DynamicItemObject* as_dynamic_item(PyObject* obj) { return reinterpret_cast<DynamicItemObject*>(obj); }
inline DynamicMapObject* as_dynamic_map(PyObject* obj) { return reinterpret_cast<DynamicMapObject*>(obj); }

// ---- DynamicMappableItem ----

// The value of `item` when it is exactly a DynamicMappableItem of DataType.UINT16 (null allowed);
// false otherwise.
bool exact_uint16_value(PyObject* item, std::uint16_t& out);

// A new DynamicMappableItem(initial_value, data_type), as the host constructor makes it.
PyObject* new_dynamic_item(PyObject* initial_value, PyObject* data_type);

// (Re)initialises the item part of `self`: data_type.serialize_value(initial_value) becomes the
// integer form. The item's constructor; ApplicationParameter's constructor ends with it.
int dynamic_item_init(DynamicItemObject* self, PyObject* initial_value, PyObject* data_type);

// The item's own `get` and `set` (a subclass override is not consulted; `value` does that).
PyObject* dynamic_item_get(DynamicItemObject* self);
int dynamic_item_set(DynamicItemObject* self, PyObject* value);

// ---- FSOEDynamicMap ----

PyObject* new_dynamic_map();

int dynamic_map_clear(DynamicMapObject* self);
// `item` must be a DynamicMappableItem (TypeError naming the argument `item` otherwise).
int dynamic_map_add(DynamicMapObject* self, PyObject* item);
inline bool dynamic_map_pending(const DynamicMapObject* self) { return self->cursor.pending(); }
// Whether a transfer into or out of the map has no item left to move: its cursor stands past
// the last item of its list (the host may have added items since the cursor finished).
inline bool dynamic_map_drained(const DynamicMapObject* self) {
    return PyList_Check(self->items) && self->cursor.current_item >= PyList_GET_SIZE(self->items);
}
// Length of the item list (TypeError when the host set it to None).
Py_ssize_t dynamic_map_total_items(DynamicMapObject* self);

// One frame of the transfer. `frame` must be an FSOEFrame (TypeError naming `frame` otherwise).
int dynamic_map_set_data_to_frame(DynamicMapObject* self, PyObject* frame, std::uint16_t valid_data_bytes);
int dynamic_map_get_data_from_frame(DynamicMapObject* self, PyObject* frame, std::uint16_t valid_data_bytes);

// 1 when what this map has processed so far matches `expected_map`, 0 when not, -1 on error.
// `expected_map` must be an FSOEDynamicMap (TypeError naming `expected_map` otherwise).
int dynamic_map_is_safedata_correct(DynamicMapObject* self, PyObject* expected_map);

}  // namespace tamsel::mapping

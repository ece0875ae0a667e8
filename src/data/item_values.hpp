#pragma once
// The value operations of the item kinds on the object itself (no dispatch to host overrides):
// the bodies of the item methods, shared by the item types, the C++ API of item_object.hpp and
// the dictionary.
#include "data/item_object.hpp"
#include "data/scalar.hpp"

#include <optional>

namespace tamsel::data {

// The slot the kind's input value lives in (`_value` or `value_input`); inputs only. It is null
// while the value is pending: read the value through input_value or input_scalar.
inline PyObject*& input_slot(ItemObject* item) { return item->value; }

// Makes the host object of a pending input value and stores it (borrowed; null with an
// exception set when out of memory, the value staying pending).
PyObject* make_pending_input(ItemObject* item);

// The input value (borrowed), or null with an exception set.
inline PyObject* input_value(ItemObject* item) {
    PyObject* value = input_slot(item);
    return value ? value : make_pending_input(item);
}

// The output value (borrowed), or null with an exception set.
inline PyObject* output_value(ItemObject* item, ItemKind kind) {
    return kind == ItemKind::output ? input_value(item) : item->value_output;
}

// The input value as a plain number, when it is one (a pending value always is).
std::optional<Scalar> input_scalar(ItemObject* item);

// The slot the kind's output value lives in (`_value` or `value_output`); outputs only. `_value`
// is null while it holds a pending input value (an item given an output class after an input
// one): read the value through output_value.
inline PyObject*& output_slot(ItemObject* item, ItemKind kind) {
    return kind == ItemKind::output ? item->value : item->value_output;
}

inline bool has_input(ItemKind kind) { return kind == ItemKind::input || kind == ItemKind::input_output; }
inline bool has_output(ItemKind kind) { return kind == ItemKind::output || kind == ItemKind::input_output; }

// Advance output_epoch() or input_epoch() (item_object.hpp): called by every change of a slot
// or field they cover. The item whose inputs changed takes the new input epoch as its stamp.
inline void touch_outputs() noexcept { ++detail::outputs_changed; }
inline void touch_inputs(ItemObject* item) noexcept { item->inputs_stamp = ++detail::inputs_changed; }

// The kind whose methods an item object runs: the kind of the module type it derives from.
ItemKind kind_of_item(PyObject* item);

// Setting an input value: store and notify when the host's `!=` says it changed.
bool set_input_value(ItemObject* item, PyObject* value);

// `_write` of an input kind, from a host int or a number.
bool write_input_object(ItemObject* item, PyObject* value);
bool write_input_integer(ItemObject* item, uint64_t value);

// What write_input_integer does before notifying, for an item of the module's own input kinds
// with a known data type whose value is pending or a plain number (an exact int, bool or float)
// equal to the value of integer form `held`: the forms alone tell whether the value changes, and
// a changed value is stored pending. Returns whether it changed (the subscribers are then due).
// Runs no host code; the item holds the value of `form` afterwards.
bool store_input_form(ItemObject* item, uint32_t form, uint32_t held);

// `_read` of an output kind.
PyObject* read_output_object(ItemObject* item, ItemKind kind);
ReadStatus read_output_integer(ItemObject* item, ItemKind kind, uint64_t& out);

// `get` and `set` of any kind (NotImplementedError and PermissionError included).
PyObject* get_value(ItemObject* item, ItemKind kind);
bool set_value(ItemObject* item, ItemKind kind, PyObject* value);

// `_write(value)` of any kind: the exact-int check, then the kind's behaviour.
bool write_value(ItemObject* item, ItemKind kind, PyObject* value);

// `_set_fail_safe()` of any kind.
bool set_fail_safe_value(ItemObject* item, ItemKind kind);

PyObject* raise_not_implemented();

}  // namespace tamsel::data

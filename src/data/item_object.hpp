#pragma once
// Dictionary items as seen from C++: the object layout shared by the four item types and the
// integer-form operations the maps and the handler use.
//
// Every operation here takes a fast path for objects whose type is exactly one of the module's
// four item types, and calls the host-level method (`_read`, `_write`, `_set_fail_safe`) on any
// other object, so a host subclass that overrides one of them is honoured.
#include "binding/ref.hpp"
#include "data/data_type.hpp"

#include <cstdint>
#include <optional>

namespace tamsel::data {

enum class ItemKind : uint8_t { base, input, output, input_output };

// One layout for all four types; each kind uses the slots its fields need. Values are the host
// objects given (or made from received integer forms); None until __init__ ran.
struct ItemObject {
    PyObject_HEAD int32_t key;
    DataType known_type;  // valid when has_known_type: `data_type` is a member of DataType
    bool has_known_type;
    PyObject* name;
    PyObject* data_type;
    PyObject* value;         // input, output: `_value`; input-output: `value_input`; null: pending
    PyObject* value_output;  // input-output: `value_output`
    PyObject* fail_safe;     // input: `fail_safe_value`; input-output: `fail_safe_input_value`
    PyObject* subscribers;   // input, input-output: list of callables, in subscription order
    // input_epoch() as of the last change of the item's input value or data type (never 0): while
    // the item still shows a stamp, neither has changed since.
    uint64_t inputs_stamp;
    // A pending input value: the value of this integer form under known_type, stored without a
    // host object, which is made when the value is first read (input_value in item_values.hpp).
    uint32_t pending_form;
};

// The module's type for a kind (valid once the module body has run).
PyTypeObject* item_type(ItemKind kind);

// DictionaryItem or any subclass.
bool is_item(PyObject* obj);

// The kind when `obj`'s type is exactly one of the module's four item types; nothing for host
// subclasses and other objects.
std::optional<ItemKind> exact_item_kind(PyObject* obj);

// The kind an item derives from (input, output, input-output, or base), for the module's types
// and host subclasses alike; nothing for objects that are no items.
std::optional<ItemKind> item_kind(PyObject* obj);

inline ItemObject* as_item(PyObject* obj) { return reinterpret_cast<ItemObject*>(obj); }

// The item's data type when it is a member of DataType (any item, subclass or not).
std::optional<DataType> item_data_type(PyObject* item);

enum class ReadStatus : uint8_t { value, none, error };

// `item._read()` as a number: ReadStatus::value with the integer form in `out` (a host int
// beyond 64 bits is truncated to its low 64 bits in two's complement), ReadStatus::none when
// `_read` gave None, ReadStatus::error with an exception set. No host object is made for the
// module's own types.
ReadStatus read_integer(PyObject* item, uint64_t& out);

// `item._read()` as a host object (an int or None), checked with "Expected int, got ...".
PyObject* read_object(PyObject* item);

// `item._write(value)` from a number. For the module's own types an unchanged input is
// recognised in its integer form: nothing is stored, nobody is notified and no host object is
// made. Returns false with an exception set (conversion errors, a subscriber's exception,
// NotImplementedError for kinds without inputs).
bool write_integer(PyObject* item, uint64_t value);

// `item._write(value)` with a host object (the map's own `_write` has checked it is an int).
bool write_object(PyObject* item, PyObject* value);

// `item._set_fail_safe()`.
bool set_fail_safe(PyObject* item);

// Counters that advance whenever what any item's outputs (inputs) hold may change: a value
// stored, an item initialised again or cleared. Whoever read items at one reading of a counter
// knows that none of them has changed on that side while the counter still shows it.
namespace detail {
inline uint64_t outputs_changed = 0;
inline uint64_t inputs_changed = 0;
}  // namespace detail
inline uint64_t output_epoch() noexcept { return detail::outputs_changed; }
inline uint64_t input_epoch() noexcept { return detail::inputs_changed; }

}  // namespace tamsel::data

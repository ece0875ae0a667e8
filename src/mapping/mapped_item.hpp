#pragma once
// DictionaryMappedItem: one entry of a map, a dictionary item or a padding with its width
// and position in bits.
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::mapping {

struct MappedItemObject {
    PyObject_HEAD PyObject* item;  // owned; null for a padding
    uint8_t bits;
    uint8_t position_bits;
};

// DictionaryMappedItem or a subclass.
bool is_mapped_item(PyObject* obj);
// The argument check for a DictionaryMappedItem (or subclass; None refused).
bool check_mapped_item(PyObject* obj, const char* argname);

inline MappedItemObject* as_mapped_item(PyObject* obj) { return reinterpret_cast<MappedItemObject*>(obj); }
inline bool is_padding(const MappedItemObject* entry) { return entry->item == nullptr; }
// The entry's item as the host sees it (None for a padding), borrowed.
inline PyObject* entry_item(const MappedItemObject* entry) { return entry->item ? entry->item : Py_None; }

// A new DictionaryMappedItem; `item` is borrowed and may be null or None for a padding.
PyObject* new_mapped_item(PyObject* item, uint8_t bits, uint8_t position_bits);

void set_entry_bits(MappedItemObject* entry, uint8_t bits);
void set_entry_position(MappedItemObject* entry, uint8_t position_bits);

// A counter that every change of an entry's width or position and every change of a map's
// entry list advances; a map compares it with the value its transfer view was built at.
namespace detail {
inline uint64_t layout_changes = 0;
}  // namespace detail
inline uint64_t layout_epoch() noexcept { return detail::layout_changes; }
inline void touch_layout() noexcept { ++detail::layout_changes; }

// Stores the entry type into the module state and publishes it.
bool add_mapped_item_type(PyObject* module);

}  // namespace tamsel::mapping

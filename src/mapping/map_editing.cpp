// DictionaryMap: the operations that rearrange a layout.
#include "binding/convert.hpp"
#include "data/data_type.hpp"
#include "mapping/item_access.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

using binding::Ref;

bool merge_adjacent_paddings(MapObject* map) {
    if (!check_not_locked(map)) return false;
    // The first padding of every run absorbs the ones after it; no position changes.
    for (Py_ssize_t idx = 0; idx < length(map); ++idx) {
        MappedItemObject* item = entry_of(map, idx);
        if (!is_padding(item)) continue;
        while (idx + 1 < length(map)) {
            MappedItemObject* next_item = entry_of(map, idx + 1);
            if (!is_padding(next_item)) break;
            uint8_t merged = 0;
            if (!narrow_to_uint8(static_cast<long long>(item->bits) + next_item->bits, merged)) return false;
            set_entry_bits(item, merged);
            if (!list_delete(map, idx + 1)) return false;
        }
    }
    return true;
}

bool complete_with_padding(MapObject* map) {
    if (!check_not_locked(map)) return false;
    unsigned bits = safety_bits(*map);
    uint16_t align_to = bits <= 8 ? 8 : 16;
    if (length(map) == 0) return Ref::steal(add_padding(map, align_to)).get() != nullptr;
    long long extra_padding_needed = data::align_bits(static_cast<uint16_t>(bits), align_to) - bits;
    if (extra_padding_needed == 0) return true;
    MappedItemObject* last_item = entry_of(map, length(map) - 1);
    if (!is_padding(last_item)) return Ref::steal(add_padding(map, extra_padding_needed)).get() != nullptr;
    uint8_t widened = 0;
    if (!narrow_to_uint8(last_item->bits + extra_padding_needed, widened)) return false;
    set_entry_bits(last_item, widened);
    return true;
}

namespace {

template <Py_ssize_t Offset>
PyObject* insert_next_to(MapObject* map, PyObject* entry, PyObject* dict_item, PyObject* bits) {
    Py_ssize_t index = index_of_entry(map, entry);
    if (index < 0) return nullptr;
    return insert(map, index + Offset, dict_item, bits);
}

// Places the item in the first padding wide enough for it at the requested alignment; the
// rest of the gap stays padding before and after it.
PyObject* insert_into_padding(MapObject* map, Py_ssize_t index, PyObject* dict_item, uint8_t item_bits,
                              long long before_padding_bits) {
    Ref before_padding = Ref::borrow(PyList_GET_ITEM(map->entries, index));
    auto* padding = as_mapped_item(before_padding.get());
    long long space_bits = padding->bits;
    set_entry_bits(padding, static_cast<uint8_t>(before_padding_bits));
    Ref new_item = Ref::steal(insert(map, index + 1, dict_item, Py_None));
    if (!new_item) return nullptr;
    long long padding_bits_after_item = space_bits - item_bits - before_padding_bits;
    if (padding_bits_after_item > 0) {
        Py_ssize_t after = find_entry(map, new_item.get());
        Ref width = Ref::steal(PyLong_FromLongLong(padding_bits_after_item));
        if (!width || after < 0) return nullptr;
        Ref rest = Ref::steal(insert(map, after + 1, Py_None, width.get()));
        if (!rest) return nullptr;
    }
    if (padding->bits == 0 && !remove(map, before_padding.get())) return nullptr;
    return new_item.release();
}

PyObject* map_insert_in_best_position(MapObject* map, PyObject* dict_item, PyObject* align_to_bits) {
    // A refused item must leave the layout exactly as it was.
    if (!check_not_locked(map) || !check_not_already_mapped(map, dict_item) || !check_item_accepted(map, dict_item))
        return nullptr;
    if (!merge_adjacent_paddings(map)) return nullptr;
    long type_bits = 0;
    if (!item_type_bits(dict_item, type_bits)) return nullptr;
    uint8_t item_bits = 0;
    for (Py_ssize_t index = 0; index < length(map); ++index) {
        MappedItemObject* padding_item = entry_of(map, index);
        if (!is_padding(padding_item)) continue;
        if (!narrow_to_uint8(type_bits, item_bits)) return nullptr;
        if (padding_item->bits < item_bits) continue;
        long long aligned = 0;
        uint8_t next_aligned_position = 0;
        if (!align_bits(padding_item->position_bits, align_to_bits, aligned) ||
            !narrow_to_uint8(aligned, next_aligned_position))
            return nullptr;
        long long before_padding_bits = next_aligned_position - padding_item->position_bits;
        if (padding_item->bits < item_bits + before_padding_bits) continue;
        return insert_into_padding(map, index, dict_item, item_bits, before_padding_bits);
    }
    if (length(map) > 0 && is_padding(entry_of(map, length(map) - 1)) && !list_delete(map, length(map) - 1))
        return nullptr;
    return add(map, dict_item, Py_None, align_to_bits);
}

// The entry argument of set_bits and the moves, checked and located in the list.
Py_ssize_t locate_entry(MapObject* map, PyObject* entry, const char* argname) {
    if (!check_mapped_item(entry, argname) || !check_not_locked(map) || !check_item_belongs(map, entry)) return -1;
    return find_entry(map, entry);
}

bool map_set_bits(MapObject* map, PyObject* entry, PyObject* bits) {
    if (locate_entry(map, entry, "dictionary_mapped_item") < 0) return false;
    uint8_t width = 0;
    if (!binding::to_unsigned(bits, width)) return false;
    set_entry_bits(as_mapped_item(entry), width);
    return recalculate_position_bits(map);
}

template <bool Up>
PyObject* move_item(MapObject* map, PyObject* item) {
    constexpr bool up = Up;
    Py_ssize_t index = locate_entry(map, item, "item");
    if (index < 0) return nullptr;
    Py_ssize_t other = up ? index - 1 : index + 1;
    if (other < 0 || other >= length(map)) Py_RETURN_FALSE;
    list_swap(map, index, other);
    if (!recalculate_position_bits(map)) return nullptr;
    Py_RETURN_TRUE;
}

bool replace_by_padding(MapObject* map, Py_ssize_t index) {
    MappedItemObject* entry = entry_of(map, index);
    Ref padding = Ref::steal(new_mapped_item(nullptr, entry->bits, entry->position_bits));
    return padding && list_replace(map, index, padding.get());
}

bool map_transform_to_padding(MapObject* map, PyObject* item) {
    if (is_mapped_item(item)) {
        Py_ssize_t index = index_of_entry(map, item);
        if (index < 0 || !replace_by_padding(map, index)) return false;
    } else if (is_dictionary_item(item)) {
        for (Py_ssize_t index = 0; index < length(map); ++index)
            if (entry_of(map, index)->item == item && !replace_by_padding(map, index)) return false;
    }
    return recalculate_position_bits(map);
}

bool map_trim_map(MapObject* map) {
    if (!check_not_locked(map)) return false;
    if (length(map) > 0) {
        if (!merge_adjacent_paddings(map)) return false;
        if (is_padding(entry_of(map, length(map) - 1)) && !list_delete(map, length(map) - 1)) return false;
    }
    return complete_with_padding(map);
}

}  // namespace

using binding::method;
using binding::noargs_method;
using binding::param;
using Item = param<"item", binding::any_object>;

PyMethodDef* const map_editing_methods = binding::methods<
    method<"insert_before", "Insert item from the dictionary to the map before a specific item", insert_next_to<0>,
           param<"before_dictionary_mapped_item", mapped_item>, DictItem, Bits>,
    method<"insert_after", "Insert item from the dictionary to the map after a specific item", insert_next_to<1>,
           param<"after_dictionary_mapped_item", mapped_item>, DictItem, Bits>,
    method<"insert_in_best_position",
           "Insert item from the dictionary to the map in the best position. Finds unused space in the map and insert "
           "them there. If not unused space is found, it appends the item to the end of the map.",
           map_insert_in_best_position, param<"dict_item", dictionary_item<false>>,
           param<"align_to_bits", binding::exact_int, "1">>,
    method<"set_bits", "Set the number of bits of a mapped item", map_set_bits,
           param<"dictionary_mapped_item", mapped_item>, param<"bits", binding::exact_int>>,
    method<
        "move_item_up",
        "Move item up in the map\n\nReturns:\n    True when operation is executed, False when item is already on top.",
        move_item<true>, Item>,
    method<"move_item_down",
           "Move item down in the map\n\n"
           "Returns:\n    True when operation is executed, False when item is already at the bottom.",
           move_item<false>, Item>,
    method<"transform_to_padding", "Transform item from the map to padding", map_transform_to_padding, Item>,
    noargs_method<"merge_adjacent_paddings", "Merge adjacent paddings in the map", merge_adjacent_paddings>,
    noargs_method<"complete_with_padding", "Complete the map with padding to fill the safe data 16-bit words",
                  complete_with_padding>,
    noargs_method<"trim_map", "Trim the map to remove unnecessary paddings at the end", map_trim_map>>::table;

}  // namespace tamsel::mapping

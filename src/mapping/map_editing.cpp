// DictionaryMap: the operations that rearrange a layout.
#include "binding/args.hpp"
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

PyObject* insert_next_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const char* function, const char* entry_name, Py_ssize_t offset) {
    PyObject* argv[3];
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {entry_name, "dict_item", "bits"}, 2, argv))
        return nullptr;
    PyObject* bits = or_none(argv[2]);
    if (!check_mapped_item(argv[0], entry_name) || !check_dictionary_item(argv[1], "dict_item", true) ||
        !binding::check_type(bits, &PyLong_Type, "bits", true, true))
        return nullptr;
    MapObject* map = as_map(self);
    Py_ssize_t index = index_of_entry(map, argv[0]);
    if (index < 0) return nullptr;
    return insert(map, index + offset, argv[1], bits);
}

PyObject* map_insert_before(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return insert_next_to(self, args, nargs, kwnames, "insert_before", "before_dictionary_mapped_item", 0);
}

PyObject* map_insert_after(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return insert_next_to(self, args, nargs, kwnames, "insert_after", "after_dictionary_mapped_item", 1);
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

PyObject* map_insert_in_best_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!binding::parse_fastcall("insert_in_best_position", args, nargs, kwnames, {"dict_item", "align_to_bits"}, 1,
                                 argv))
        return nullptr;
    Ref default_alignment = Ref::steal(PyLong_FromLong(1));
    PyObject* align_to_bits = argv[1] ? argv[1] : default_alignment.get();
    if (!check_dictionary_item(argv[0], "dict_item", false) ||
        !binding::check_type(align_to_bits, &PyLong_Type, "align_to_bits", true))
        return nullptr;
    MapObject* map = as_map(self);
    PyObject* dict_item = argv[0];
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

PyObject* map_set_bits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!binding::parse_fastcall("set_bits", args, nargs, kwnames, {"dictionary_mapped_item", "bits"}, 2, argv))
        return nullptr;
    if (!check_mapped_item(argv[0], "dictionary_mapped_item") || !binding::check_type(argv[1], &PyLong_Type, "bits", true))
        return nullptr;
    MapObject* map = as_map(self);
    if (locate_entry(map, argv[0], "dictionary_mapped_item") < 0) return nullptr;
    uint8_t bits = 0;
    if (!binding::to_unsigned(argv[1], bits)) return nullptr;
    set_entry_bits(as_mapped_item(argv[0]), bits);
    if (!recalculate_position_bits(map)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* move_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                    bool up) {
    PyObject* item;
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {"item"}, 1, &item)) return nullptr;
    MapObject* map = as_map(self);
    Py_ssize_t index = locate_entry(map, item, "item");
    if (index < 0) return nullptr;
    Py_ssize_t other = up ? index - 1 : index + 1;
    if (other < 0 || other >= length(map)) Py_RETURN_FALSE;
    list_swap(map, index, other);
    if (!recalculate_position_bits(map)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* map_move_item_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return move_item(self, args, nargs, kwnames, "move_item_up", true);
}

PyObject* map_move_item_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return move_item(self, args, nargs, kwnames, "move_item_down", false);
}

bool replace_by_padding(MapObject* map, Py_ssize_t index) {
    MappedItemObject* entry = entry_of(map, index);
    Ref padding = Ref::steal(new_mapped_item(nullptr, entry->bits, entry->position_bits));
    return padding && list_replace(map, index, padding.get());
}

PyObject* map_transform_to_padding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item;
    if (!binding::parse_fastcall("transform_to_padding", args, nargs, kwnames, {"item"}, 1, &item)) return nullptr;
    MapObject* map = as_map(self);
    if (is_mapped_item(item)) {
        Py_ssize_t index = index_of_entry(map, item);
        if (index < 0 || !replace_by_padding(map, index)) return nullptr;
    } else if (is_dictionary_item(item)) {
        for (Py_ssize_t index = 0; index < length(map); ++index)
            if (entry_of(map, index)->item == item && !replace_by_padding(map, index)) return nullptr;
    }
    if (!recalculate_position_bits(map)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_merge_adjacent_paddings(PyObject* self, PyObject*) {
    if (!merge_adjacent_paddings(as_map(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_complete_with_padding(PyObject* self, PyObject*) {
    if (!complete_with_padding(as_map(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_trim_map(PyObject* self, PyObject*) {
    MapObject* map = as_map(self);
    if (!check_not_locked(map)) return nullptr;
    if (length(map) > 0) {
        if (!merge_adjacent_paddings(map)) return nullptr;
        if (is_padding(entry_of(map, length(map) - 1)) && !list_delete(map, length(map) - 1)) return nullptr;
    }
    if (!complete_with_padding(map)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef map_editing_methods[] = {
    {"insert_before", TAMSEL_FASTCALL_KW(map_insert_before),
     "Insert item from the dictionary to the map before a specific item"},
    {"insert_after", TAMSEL_FASTCALL_KW(map_insert_after),
     "Insert item from the dictionary to the map after a specific item"},
    {"insert_in_best_position", TAMSEL_FASTCALL_KW(map_insert_in_best_position),
     "Insert item from the dictionary to the map in the best position. Finds unused space in the map and insert them "
     "there. If not unused space is found, it appends the item to the end of the map."},
    {"set_bits", TAMSEL_FASTCALL_KW(map_set_bits), "Set the number of bits of a mapped item"},
    {"move_item_up", TAMSEL_FASTCALL_KW(map_move_item_up),
     "Move item up in the map\n\nReturns:\n    True when operation is executed, False when item is already on top."},
    {"move_item_down", TAMSEL_FASTCALL_KW(map_move_item_down),
     "Move item down in the map\n\n"
     "Returns:\n    True when operation is executed, False when item is already at the bottom."},
    {"transform_to_padding", TAMSEL_FASTCALL_KW(map_transform_to_padding), "Transform item from the map to padding"},
    {"merge_adjacent_paddings", map_merge_adjacent_paddings, METH_NOARGS, "Merge adjacent paddings in the map"},
    {"complete_with_padding", map_complete_with_padding, METH_NOARGS,
     "Complete the map with padding to fill the safe data 16-bit words"},
    {"trim_map", map_trim_map, METH_NOARGS, "Trim the map to remove unnecessary paddings at the end"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::mapping

// DictionaryMap: the checks every edit shares and the basic edits (clear, add, insert, remove).
#include "binding/convert.hpp"
#include "binding/module_state.hpp"
#include "data/data_type.hpp"
#include "mapping/item_access.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

using binding::Ref;

bool check_not_locked(const MapObject* map) {
    if (!map->locked) return true;
    PyErr_SetString(binding::state().TamselMappingLockedException.get(), "Mapping is locked, cannot be modified");
    return false;
}

bool check_not_already_mapped(const MapObject* map, PyObject* dict_item) {
    if (find_item(map, dict_item) < 0) return true;
    Ref name = Ref::steal(item_name(dict_item));
    if (!name) return false;
    PyErr_Format(binding::state().FSoEAlreadyMappedException.get(), "Item %U is already mapped in the dictionary map",
                 name.get());
    return false;
}

bool check_item_accepted(const MapObject* map, PyObject* dict_item) {
    // Exact class membership: a subclass of an accepted class is accepted only if listed.
    int member = map->accepted ? PySet_Contains(map->accepted, reinterpret_cast<PyObject*>(Py_TYPE(dict_item))) : 0;
    if (member < 0) return false;
    if (member == 0) PyErr_SetNone(PyExc_PermissionError);
    return member == 1;
}

bool check_item_belongs(const MapObject* map, PyObject* entry) {
    if (find_entry(map, entry) >= 0) return true;
    PyErr_SetString(PyExc_ValueError, "The item does not belong to this map");
    return false;
}

bool recalculate_position_bits(MapObject* map) {
    unsigned position_bits = 0;
    for (Py_ssize_t i = 0, n = length(map); i < n; ++i) {
        MappedItemObject* entry = entry_of(map, i);
        set_entry_position(entry, static_cast<uint8_t>(position_bits));
        position_bits += entry->bits;
        if (position_bits > 0xFF) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint8_t");
            return false;
        }
    }
    return true;
}

PyObject* create_mapped_item(MapObject* map, long long position_bits, PyObject* dict_item, PyObject* bits) {
    if (!check_not_locked(map)) return nullptr;
    bool padding = dict_item == Py_None;
    uint8_t width = 0;
    if (bits == Py_None) {
        if (padding) {
            PyErr_SetString(PyExc_ValueError, "Cannot add padding without indicating bits");
            return nullptr;
        }
    }
    long type_bits = 0;
    if (bits == Py_None && !item_type_bits(dict_item, type_bits)) return nullptr;
    if (!padding && !check_item_accepted(map, dict_item)) return nullptr;
    if (bits == Py_None ? !narrow_to_uint8(type_bits, width) : !binding::to_unsigned(bits, width)) return nullptr;
    uint8_t position = 0;
    if (!narrow_to_uint8(position_bits, position)) return nullptr;
    return new_mapped_item(dict_item, width, position);
}

bool align_bits(unsigned number, PyObject* boundary, long long& out) {
    uint16_t divisor = 0;
    if (!binding::to_unsigned(boundary, divisor)) return false;
    if (divisor == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return false;
    }
    out = data::align_bits(static_cast<uint16_t>(number), divisor);
    return true;
}

PyObject* add(MapObject* map, PyObject* dict_item, PyObject* bits, PyObject* align_to_bits) {
    if (dict_item != Py_None && !check_not_already_mapped(map, dict_item)) return nullptr;
    if (align_to_bits != Py_None) {
        unsigned current = safety_bits(*map);
        long long aligned = 0;
        if (!align_bits(current, align_to_bits, aligned)) return nullptr;
        if (aligned > current) {
            Ref padding = Ref::steal(add_padding(map, aligned - static_cast<long long>(current)));
            if (!padding) return nullptr;
        }
    }
    Ref entry = Ref::steal(create_mapped_item(map, safety_bits(*map), dict_item, bits));
    if (!entry) return nullptr;
    if (dict_item != Py_None) {
        long type_bits = 0;
        if (!item_type_bits(dict_item, type_bits)) return nullptr;
        if (type_bits > 8 && as_mapped_item(entry.get())->position_bits % 8 != 0) {
            PyErr_SetString(PyExc_IndexError,
                            "Variables with more than 8 bits must be aligned in 8-bit safe-data slots");
            return nullptr;
        }
    }
    if (!list_append(map, entry.get())) return nullptr;
    return entry.release();
}

PyObject* add_padding(MapObject* map, long long bits) {
    Ref width = Ref::steal(PyLong_FromLongLong(bits));
    if (!width) return nullptr;
    return add(map, Py_None, width.get(), Py_None);
}

PyObject* insert(MapObject* map, Py_ssize_t index, PyObject* dict_item, PyObject* bits) {
    if (dict_item != Py_None && !check_not_already_mapped(map, dict_item)) return nullptr;
    Ref entry = Ref::steal(create_mapped_item(map, 0, dict_item, bits));
    if (!entry || !list_insert(map, index, entry.get())) return nullptr;
    if (!recalculate_position_bits(map)) return nullptr;
    return entry.release();
}

bool remove(MapObject* map, PyObject* item) {
    if (is_mapped_item(item)) {
        Py_ssize_t index = find_entry(map, item);
        if (index < 0) {
            PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
            return false;
        }
        if (!list_delete(map, index)) return false;
    } else if (is_dictionary_item(item)) {
        Py_ssize_t index = find_item(map, item);
        if (index >= 0 && !list_delete(map, index)) return false;
    }
    return recalculate_position_bits(map);
}

namespace {

bool map_clear_entries(MapObject* map) { return check_not_locked(map) && list_clear(map); }

PyObject* map_add_by_key(MapObject* map, PyObject* key, PyObject* bits) {
    if (!map->dictionary) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    Ref item = Ref::steal(dictionary_item_by_key(map->dictionary, key));
    if (!item) return nullptr;
    if (!check_dictionary_item(item.get(), "dict_item", true)) return nullptr;
    return add(map, item.get(), bits, Py_None);
}

PyObject* map_add_padding(MapObject* map, uint16_t width) { return add_padding(map, width); }

PyObject* map_insert(MapObject* map, PyObject* index, PyObject* dict_item, PyObject* bits) {
    // The host list's insert rule: beyond the end appends, far below the start inserts first.
    return insert(map, PyNumber_AsSsize_t(index, nullptr), dict_item, bits);
}

PyObject* map_copy(MapObject* map) {
    Ref copy = Ref::steal(new_map(or_none(map->dictionary), or_none(map->accepted)));
    if (!copy) return nullptr;
    MapObject* target = as_map(copy.get());
    for (Py_ssize_t i = 0; i < length(map); ++i) {
        MappedItemObject* entry = entry_of(map, i);
        Ref duplicate = Ref::steal(new_mapped_item(entry->item, entry->bits, entry->position_bits));
        if (!duplicate || !list_append(target, duplicate.get())) return nullptr;
    }
    target->locked = map->locked;
    return copy.release();
}

PyObject* mapped_items_list(const MapObject* map) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < length(map); ++i) {
        MappedItemObject* entry = entry_of(map, i);
        if (!is_padding(entry) && PyList_Append(result.get(), entry->item) < 0) return nullptr;
    }
    return result.release();
}

PyObject* map_unmapped_dictionary_items(MapObject* map) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result || !map->dictionary) return result.release();
    Ref items = Ref::steal(dictionary_items(map->dictionary));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (find_item(map, item) >= 0) continue;
        int accepted = map->accepted ? PySet_Contains(map->accepted, reinterpret_cast<PyObject*>(Py_TYPE(item))) : 0;
        if (accepted < 0) return nullptr;
        if (accepted && PyList_Append(result.get(), item) < 0) return nullptr;
    }
    return result.release();
}

PyObject* map_create_mapped_item(MapObject* map, PyObject* position_bits, PyObject* dict_item, PyObject* bits) {
    int overflow = 0;
    long long position = PyLong_AsLongLongAndOverflow(position_bits, &overflow);
    if (overflow) position = overflow < 0 ? -1 : 0x100;
    return create_mapped_item(map, position, dict_item, bits);
}

bool map_check_not_already_mapped(MapObject* map, PyObject* item) { return check_not_already_mapped(map, item); }

bool map_check_item_belongs(MapObject* map, PyObject* item) { return check_item_belongs(map, item); }

}  // namespace

using binding::method;
using binding::noargs_method;
using binding::param;

PyMethodDef* const map_core_methods = binding::methods<
    noargs_method<"clear", "Clear the map", map_clear_entries>,
    method<"add",
           "Add item from the dictionary to the end of the map\n\n"
           "Args:\n"
           "    dict_item: If None the entry map will be a padding\n"
           "    bits: Number of bits of the item to map. If not indicated they are extracted from data type\n"
           "    align_to_bits: Required alignment of the item in bits. Adds padding before the item if needed to align "
           "it.",
           add, DictItem, Bits, param<"align_to_bits", binding::int_or_none, "None">>,
    method<"add_by_key", "Add item from the dictionary to the map, selecting by key", map_add_by_key,
           param<"key", binding::exact_int>, Bits>,
    method<"add_padding", "Add padding to the map", map_add_padding, param<"bits", binding::u16>>,
    method<"insert", "Insert item from the dictionary to the map at a specific index", map_insert,
           param<"index", binding::exact_int>, DictItem, Bits>,
    method<"remove", "Remove item from the map\n\nArgs:\n    item: Can be a DictionaryMappedItem or a DictionaryItem.",
           remove, param<"item", binding::any_object>>,
    noargs_method<"copy", "Create a copy of the map", map_copy>,
    noargs_method<"mapped_dictionary_items", "Get all the dictionary items that are mapped in the map",
                  mapped_items_list>,
    noargs_method<"unmapped_dictionary_items",
                  "Get all the dictionary items that are not mapped in the map that would be eligible to be mapped",
                  map_unmapped_dictionary_items>,
    noargs_method<"_DictionaryMap__check_not_locked", "Check if the map is locked", check_not_locked>,
    method<"_DictionaryMap__create_mapped_item", "Create a mapped item to be added to the map", map_create_mapped_item,
           param<"position_bits", binding::exact_int>, DictItem, Bits>,
    method<"_DictionaryMap__check_not_already_mapped", "Check if the item is already mapped in the map",
           map_check_not_already_mapped, param<"dict_item", dictionary_item<false>>>,
    method<"_DictionaryMap__check_item_belongs", "", map_check_item_belongs, param<"item", mapped_item>>,
    noargs_method<"_DictionaryMap__recalculate_position_bits", "Recalculate position bits of the items in the map",
                  recalculate_position_bits>>::table;

}  // namespace tamsel::mapping

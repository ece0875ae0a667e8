// DictionaryMap: the checks every edit shares and the basic edits (clear, add, insert, remove).
#include "binding/args.hpp"
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
            PyErr_SetString(PyExc_IndexError, "Variables with more than 8 bits must be aligned in 8-bit safe-data slots");
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

MapObject* self_map(PyObject* self) { return as_map(self); }

bool check_bits(PyObject* bits, const char* argname = "bits") {
    return binding::check_type(bits, &PyLong_Type, argname, true, true);
}

PyObject* map_clear_entries(PyObject* self, PyObject*) {
    MapObject* map = self_map(self);
    if (!check_not_locked(map) || !list_clear(map)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!binding::parse_fastcall("add", args, nargs, kwnames, {"dict_item", "bits", "align_to_bits"}, 1, argv))
        return nullptr;
    PyObject* bits = or_none(argv[1]);
    PyObject* align_to_bits = or_none(argv[2]);
    if (!check_dictionary_item(argv[0], "dict_item", true) || !check_bits(bits) ||
        !check_bits(align_to_bits, "align_to_bits"))
        return nullptr;
    return add(self_map(self), argv[0], bits, align_to_bits);
}

PyObject* map_add_by_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!binding::parse_fastcall("add_by_key", args, nargs, kwnames, {"key", "bits"}, 1, argv)) return nullptr;
    PyObject* bits = or_none(argv[1]);
    if (!binding::check_type(argv[0], &PyLong_Type, "key", true) || !check_bits(bits)) return nullptr;
    MapObject* map = self_map(self);
    if (!map->dictionary) {
        PyErr_SetObject(PyExc_KeyError, argv[0]);
        return nullptr;
    }
    Ref item = Ref::steal(dictionary_item_by_key(map->dictionary, argv[0]));
    if (!item) return nullptr;
    if (!check_dictionary_item(item.get(), "dict_item", true)) return nullptr;
    return add(map, item.get(), bits, Py_None);
}

PyObject* map_add_padding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bits;
    if (!binding::parse_fastcall("add_padding", args, nargs, kwnames, {"bits"}, 1, &bits)) return nullptr;
    uint16_t width = 0;
    if (!binding::to_unsigned(bits, width)) return nullptr;
    return add_padding(self_map(self), width);
}

PyObject* map_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!binding::parse_fastcall("insert", args, nargs, kwnames, {"index", "dict_item", "bits"}, 2, argv))
        return nullptr;
    PyObject* bits = or_none(argv[2]);
    if (!binding::check_type(argv[0], &PyLong_Type, "index", true) ||
        !check_dictionary_item(argv[1], "dict_item", true) || !check_bits(bits))
        return nullptr;
    // The host list's insert rule: beyond the end appends, far below the start inserts first.
    Py_ssize_t index = PyNumber_AsSsize_t(argv[0], nullptr);
    return insert(self_map(self), index, argv[1], bits);
}

PyObject* map_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item;
    if (!binding::parse_fastcall("remove", args, nargs, kwnames, {"item"}, 1, &item)) return nullptr;
    if (!remove(self_map(self), item)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_copy(PyObject* self, PyObject*) {
    MapObject* map = self_map(self);
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

PyObject* map_mapped_dictionary_items(PyObject* self, PyObject*) { return mapped_items_list(self_map(self)); }

PyObject* map_unmapped_dictionary_items(PyObject* self, PyObject*) {
    MapObject* map = self_map(self);
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

PyObject* map_check_not_locked(PyObject* self, PyObject*) {
    if (!check_not_locked(self_map(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_create_mapped_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!binding::parse_fastcall("__create_mapped_item", args, nargs, kwnames, {"position_bits", "dict_item", "bits"},
                                 2, argv))
        return nullptr;
    PyObject* bits = or_none(argv[2]);
    if (!binding::check_type(argv[0], &PyLong_Type, "position_bits", true) ||
        !check_dictionary_item(argv[1], "dict_item", true) || !check_bits(bits))
        return nullptr;
    int overflow = 0;
    long long position = PyLong_AsLongLongAndOverflow(argv[0], &overflow);
    if (overflow) position = overflow < 0 ? -1 : 0x100;
    return create_mapped_item(self_map(self), position, argv[1], bits);
}

PyObject* map_check_not_already_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item;
    if (!binding::parse_fastcall("__check_not_already_mapped", args, nargs, kwnames, {"dict_item"}, 1, &item) ||
        !check_dictionary_item(item, "dict_item", false) || !check_not_already_mapped(self_map(self), item))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_check_item_belongs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item;
    if (!binding::parse_fastcall("__check_item_belongs", args, nargs, kwnames, {"item"}, 1, &item) ||
        !check_mapped_item(item, "item") ||
        !check_item_belongs(self_map(self), item))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_recalculate_position_bits(PyObject* self, PyObject*) {
    if (!recalculate_position_bits(self_map(self))) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef map_core_methods[] = {
    {"clear", map_clear_entries, METH_NOARGS, "Clear the map"},
    {"add", TAMSEL_FASTCALL_KW(map_add),
     "Add item from the dictionary to the end of the map\n\n"
     "Args:\n"
     "    dict_item: If None the entry map will be a padding\n"
     "    bits: Number of bits of the item to map. If not indicated they are extracted from data type\n"
     "    align_to_bits: Required alignment of the item in bits. Adds padding before the item if needed to align it."},
    {"add_by_key", TAMSEL_FASTCALL_KW(map_add_by_key), "Add item from the dictionary to the map, selecting by key"},
    {"add_padding", TAMSEL_FASTCALL_KW(map_add_padding), "Add padding to the map"},
    {"insert", TAMSEL_FASTCALL_KW(map_insert), "Insert item from the dictionary to the map at a specific index"},
    {"remove", TAMSEL_FASTCALL_KW(map_remove),
     "Remove item from the map\n\nArgs:\n    item: Can be a DictionaryMappedItem or a DictionaryItem."},
    {"copy", map_copy, METH_NOARGS, "Create a copy of the map"},
    {"mapped_dictionary_items", map_mapped_dictionary_items, METH_NOARGS,
     "Get all the dictionary items that are mapped in the map"},
    {"unmapped_dictionary_items", map_unmapped_dictionary_items, METH_NOARGS,
     "Get all the dictionary items that are not mapped in the map that would be eligible to be mapped"},
    {"_DictionaryMap__check_not_locked", map_check_not_locked, METH_NOARGS, "Check if the map is locked"},
    {"_DictionaryMap__create_mapped_item", TAMSEL_FASTCALL_KW(map_create_mapped_item),
     "Create a mapped item to be added to the map"},
    {"_DictionaryMap__check_not_already_mapped", TAMSEL_FASTCALL_KW(map_check_not_already_mapped),
     "Check if the item is already mapped in the map"},
    {"_DictionaryMap__check_item_belongs", TAMSEL_FASTCALL_KW(map_check_item_belongs), nullptr},
    {"_DictionaryMap__recalculate_position_bits", map_recalculate_position_bits, METH_NOARGS,
     "Recalculate position bits of the items in the map"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::mapping

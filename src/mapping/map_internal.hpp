#pragma once
// Operations shared by the files of the DictionaryMap type.
#include "binding/method.hpp"
#include "binding/types.hpp"
#include "mapping/item_access.hpp"
#include "mapping/map_object.hpp"
#include "mapping/mapped_item.hpp"

#include <cstdint>

namespace tamsel::mapping {

PyTypeObject* map_type();
bool add_map_type(PyObject* module);
bool add_map_iterator_type(PyObject* module);
// A new iterator over the live entry list of `map`.
PyObject* new_map_iterator(PyObject* map);

// The 8-bit conversion of widths and positions computed inside the map, with the texts of
// the host-facing conversion.
bool narrow_to_uint8(long long value, uint8_t& out);

inline MappedItemObject* entry_of(const MapObject* map, Py_ssize_t index) {
    return as_mapped_item(PyList_GET_ITEM(map->entries, index));
}
inline Py_ssize_t length(const MapObject* map) { return PyList_GET_SIZE(map->entries); }

// An optional argument that was not given, or an unset slot, as None (borrowed).
inline PyObject* or_none(PyObject* obj) { return obj ? obj : Py_None; }

// Index of this very entry object, or -1.
Py_ssize_t find_entry(const MapObject* map, PyObject* entry);
// Index of the entry mapping this very item, or -1.
Py_ssize_t find_item(const MapObject* map, PyObject* item);
// find_entry with the host list's ValueError of `list.index` when absent.
Py_ssize_t index_of_entry(const MapObject* map, PyObject* entry);

// Changes of the entry list (each one invalidates the transfer view).
bool list_insert(MapObject* map, Py_ssize_t index, PyObject* entry);
bool list_append(MapObject* map, PyObject* entry);
bool list_delete(MapObject* map, Py_ssize_t index);
bool list_replace(MapObject* map, Py_ssize_t index, PyObject* entry);
void list_swap(MapObject* map, Py_ssize_t a, Py_ssize_t b);
bool list_clear(MapObject* map);

// The private operations every editing operation shares.
bool check_not_locked(const MapObject* map);
bool check_not_already_mapped(const MapObject* map, PyObject* dict_item);
bool check_item_accepted(const MapObject* map, PyObject* dict_item);
bool check_item_belongs(const MapObject* map, PyObject* entry);
bool recalculate_position_bits(MapObject* map);
// `bits` is None or an int; a new entry, not yet in the list.
PyObject* create_mapped_item(MapObject* map, long long position_bits, PyObject* dict_item, PyObject* bits);

// The editing operations of the core, arguments already checked. New references.
PyObject* add(MapObject* map, PyObject* dict_item, PyObject* bits, PyObject* align_to_bits);
PyObject* add_padding(MapObject* map, long long bits);
PyObject* insert(MapObject* map, Py_ssize_t index, PyObject* dict_item, PyObject* bits);
bool remove(MapObject* map, PyObject* item);
bool merge_adjacent_paddings(MapObject* map);
bool complete_with_padding(MapObject* map);

// align_bits(number, boundary) with a host boundary: converted to 16 bits, ZeroDivisionError
// for 0.
bool align_bits(unsigned number, PyObject* boundary, long long& out);

// The transfer view's references, for the map's garbage-collection support.
int traverse_view(const MapObject* map, visitproc visit, void* arg);

// Parameter conversions of the map's operations.
// A dictionary item (any kind, subclasses too), optionally None.
template <bool NoneOk>
struct dictionary_item {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        out = obj;
        return check_dictionary_item(obj, argname, NoneOk);
    }
};

// A DictionaryMappedItem.
struct mapped_item {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        out = obj;
        return check_mapped_item(obj, argname);
    }
};

using DictItem = binding::param<"dict_item", dictionary_item<true>>;
using Bits = binding::param<"bits", binding::int_or_none, "None">;

// Method tables of the files of the type, gathered when the type is created.
extern PyMethodDef* const map_core_methods;
extern PyMethodDef* const map_editing_methods;
extern PyMethodDef* const map_text_methods;
extern PyMethodDef* const map_transfer_methods;

}  // namespace tamsel::mapping

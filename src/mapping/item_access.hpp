#pragma once
// What the maps need of dictionary items and dictionaries.
#include "binding/ref.hpp"

namespace tamsel::mapping {

// The argument check for a DictionaryItem (or subclass; None only when `none_ok`).
bool check_dictionary_item(PyObject* obj, const char* argname, bool none_ok);
bool is_dictionary_item(PyObject* obj);

// item._read(), which must give an int (or None). New reference.
PyObject* read_item(PyObject* item);
// item._write(value).
bool write_item(PyObject* item, PyObject* value);

// item.data_type.bits as a plain number.
bool item_type_bits(PyObject* item, long& bits);
// item.name as an exact str (str() of whatever the item holds). New reference.
PyObject* item_name(PyObject* item);

// The dictionary's items in construction order (a new list).
PyObject* dictionary_items(PyObject* dictionary);
// dictionary.key_map[key] (new reference; the host's KeyError when absent).
PyObject* dictionary_item_by_key(PyObject* dictionary, PyObject* key);

}  // namespace tamsel::mapping

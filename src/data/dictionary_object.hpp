#pragma once
// The dictionary as seen from C++.
#include "binding/ref.hpp"

namespace tamsel::data {

// Both maps are host dicts filled in the order of the constructor's list; they hold the same
// item objects. Empty dicts until __init__ ran.
struct DictionaryObject {
    PyObject_HEAD PyObject* key_map;
    PyObject* name_map;
};

PyTypeObject* dictionary_type();

// Dictionary or any subclass.
bool is_dictionary(PyObject* obj);

inline DictionaryObject* as_dictionary(PyObject* obj) { return reinterpret_cast<DictionaryObject*>(obj); }

// The maps of a dictionary (borrowed). Iterate them with PyDict_Next for the items in
// construction order.
inline PyObject* key_map(PyObject* dictionary) { return as_dictionary(dictionary)->key_map; }
inline PyObject* name_map(PyObject* dictionary) { return as_dictionary(dictionary)->name_map; }

// The item under `key` (borrowed), or null with the host's KeyError carrying the key.
PyObject* item_by_key(PyObject* dictionary, PyObject* key);

// The item under `name` (borrowed), or null with the host's KeyError carrying the name.
PyObject* item_by_name(PyObject* dictionary, PyObject* name);

// `dictionary._set_inputs_to_failsafe()`: natively for the module's own type, through the
// method for a host subclass. Returns false with an exception set.
bool set_inputs_to_failsafe(PyObject* dictionary);

}  // namespace tamsel::data

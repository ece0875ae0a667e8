// Dictionary items and dictionaries as the maps reach them.
#include "mapping/item_access.hpp"

#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "data/dictionary_object.hpp"
#include "data/item_object.hpp"

namespace tamsel::mapping {

using binding::Ref;

bool check_dictionary_item(PyObject* obj, const char* argname, bool none_ok) {
    return binding::check_type(obj, binding::as_type(binding::state().DictionaryItem), argname, false, none_ok);
}

bool is_dictionary_item(PyObject* obj) { return data::is_item(obj); }

PyObject* read_item(PyObject* item) { return data::read_object(item); }

bool write_item(PyObject* item, PyObject* value) { return data::write_object(item, value); }

bool item_type_bits(PyObject* item, long& bits) {
    if (std::optional<data::DataType> type = data::item_data_type(item)) {
        bits = data::bits(*type);
        return true;
    }
    // A data type that is not a member of DataType: whatever its `bits` says.
    Ref data_type = Ref::steal(PyObject_GetAttrString(item, "data_type"));
    if (!data_type) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(data_type.get(), "bits"));
    if (!value) return false;
    bits = PyLong_AsLong(value.get());
    return !(bits == -1 && PyErr_Occurred());
}

PyObject* item_name(PyObject* item) {
    Ref name = Ref::steal(PyObject_GetAttrString(item, "name"));
    if (!name) return nullptr;
    Ref text = Ref::steal(PyObject_Str(name.get()));
    if (!text || PyUnicode_CheckExact(text.get())) return text.release();
    // A str subclass may override the methods the text is formatted with: keep its characters only.
    return PyUnicode_FromObject(text.get());
}

PyObject* dictionary_items(PyObject* dictionary) {
    PyObject* name_map = data::name_map(dictionary);
    if (!name_map) return PyList_New(0);
    return PyDict_Values(name_map);
}

PyObject* dictionary_item_by_key(PyObject* dictionary, PyObject* key) {
    return Py_XNewRef(data::item_by_key(dictionary, key));
}

}  // namespace tamsel::mapping

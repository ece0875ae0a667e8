// The Dictionary type: the items of one slave by key and by name.
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "binding/host_calls.hpp"
#include "data/dictionary_object.hpp"
#include "data/hooks.hpp"
#include "data/item_values.hpp"

namespace tamsel::data {

using binding::Ref;

PyTypeObject* dictionary_type() { return binding::as_type(binding::state().Dictionary); }

bool is_dictionary(PyObject* obj) { return PyObject_TypeCheck(obj, dictionary_type()); }

namespace {

// KeyError carrying `key` itself (a tuple key stays one argument).
void raise_key_error(PyObject* key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

PyObject* lookup(PyObject* map, PyObject* key) {
    PyObject* item = PyDict_GetItemWithError(map, key);
    if (!item && !PyErr_Occurred()) raise_key_error(key);
    return item;
}

}  // namespace

PyObject* item_by_key(PyObject* dictionary, PyObject* key) { return lookup(key_map(dictionary), key); }
PyObject* item_by_name(PyObject* dictionary, PyObject* name) { return lookup(name_map(dictionary), name); }

namespace {

// Every item's `_set_fail_safe()`, in insertion order, failing like the host's dict iteration
// if a subscriber changes the size of the map.
bool set_all_to_fail_safe(PyObject* dictionary) {
    Ref map = Ref::borrow(key_map(dictionary));
    Py_ssize_t size = PyDict_GET_SIZE(map.get());
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(map.get(), &position, &key, &value)) {
        Ref item = Ref::borrow(value);
        if (!set_fail_safe(item.get())) return false;
        if (PyDict_GET_SIZE(map.get()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

}  // namespace

bool set_inputs_to_failsafe(PyObject* dictionary) {
    if (Py_IS_TYPE(dictionary, dictionary_type())) return set_all_to_fail_safe(dictionary);
    return static_cast<bool>(Ref::steal(py::call_method(dictionary, "_set_inputs_to_failsafe")));
}

namespace {

DictionaryObject* self_dictionary(PyObject* self) { return as_dictionary(self); }

PyObject* dictionary_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    DictionaryObject* dictionary = self_dictionary(self.get());
    dictionary->key_map = PyDict_New();
    dictionary->name_map = PyDict_New();
    if (!dictionary->key_map || !dictionary->name_map) return nullptr;
    return self.release();
}

int dictionary_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self_dictionary(self)->key_map);
    Py_VISIT(self_dictionary(self)->name_map);
    return 0;
}

// Breaking a cycle leaves empty maps behind, so the object stays usable.
int dictionary_clear(PyObject* self) {
    for (PyObject* map : {self_dictionary(self)->key_map, self_dictionary(self)->name_map})
        if (map) PyDict_Clear(map);
    return 0;
}

void dictionary_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        Py_CLEAR(self_dictionary(self)->key_map);
        Py_CLEAR(self_dictionary(self)->name_map);
    });
}

// The item's key or name: read from the slots for the module's own items, as attributes from
// anything else (the items are not type-checked). New reference or null.
PyObject* item_key(PyObject* item) {
    if (exact_item_kind(item)) return PyLong_FromLong(as_item(item)->key);
    return PyObject_GetAttrString(item, "key");
}

PyObject* item_name(PyObject* item) {
    if (exact_item_kind(item)) return Py_NewRef(as_item(item)->name);
    return PyObject_GetAttrString(item, "name");
}

// ValueError `prefix` + `value` when `value` is already a key of `map`; false on any error.
bool check_unique(PyObject* map, PyObject* value, const char* prefix) {
    int repeated = PyDict_Contains(map, value);
    if (repeated > 0) PyErr_Format(PyExc_ValueError, "%s%S", prefix, value);
    return repeated == 0;
}

// Fills fresh maps and installs them only when the whole list was accepted.
int dictionary_init(PyObject* self, PyObject* items) {
    Ref keys = Ref::steal(PyDict_New());
    Ref names = Ref::steal(PyDict_New());
    if (!keys || !names) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
        // The key is checked before the name is read, so a repeated key wins over anything
        // wrong with the name.
        Ref key = Ref::steal(item_key(item.get()));
        if (!key || !check_unique(keys.get(), key.get(), "Duplicated Key ")) return -1;
        Ref name = Ref::steal(item_name(item.get()));
        if (!name || !check_unique(names.get(), name.get(), "Duplicated name ")) return -1;
        if (PyDict_SetItem(keys.get(), key.get(), item.get()) < 0 ||
            PyDict_SetItem(names.get(), name.get(), item.get()) < 0)
            return -1;
    }
    DictionaryObject* dictionary = self_dictionary(self);
    binding::assign(dictionary->key_map, keys.get());
    binding::assign(dictionary->name_map, names.get());
    return 0;
}

PyObject* method_get(PyObject* self, PyObject* name) {
    Ref item = Ref::borrow(item_by_name(self, name));
    if (!item) return nullptr;
    if (auto kind = exact_item_kind(item.get())) return get_value(as_item(item.get()), *kind);
    return py::call_method(item.get(), "get");
}

bool method_set(PyObject* self, PyObject* name, PyObject* value) {
    Ref item = Ref::borrow(item_by_name(self, name));
    if (!item) return false;
    if (auto kind = exact_item_kind(item.get())) return set_value(as_item(item.get()), *kind, value);
    return Ref::steal(py::call_method(item.get(), "set", value)).get() != nullptr;
}

PyObject* method_read(PyObject* self, PyObject* key) {
    Ref item = Ref::borrow(item_by_key(self, key));
    return item ? read_object(item.get()) : nullptr;
}

bool method_write(PyObject* self, PyObject* key, PyObject* value) {
    Ref item = Ref::borrow(item_by_key(self, key));
    return item && write_object(item.get(), value);
}

using binding::method;
using binding::param;
using Name = param<"name", binding::exact_str>;
using Key = param<"key", binding::exact_int>;
using Value = param<"value", binding::any_object>;
using dictionary_constructor = binding::constructor<dictionary_init, param<"items", binding::exact_list>>;

using dictionary_methods = binding::methods<
    method<"set", "Only allowed on Safe Outputs", method_set, Name, Value>,
    method<"get", "Get value of the item. For inputs, the value is from the latest PDU sent by the slave", method_get,
           Name>,
    method<"_read", "Read value of the item in integer form", method_read, Key>,
    method<"_write", "Write value of the item from integer form. Only allowed on Safe Inputs", method_write, Key,
           Value>,
    method<"_set_inputs_to_failsafe", "Set all inputs to fail-safe status", set_all_to_fail_safe>>;

using dictionary_fields =
    binding::fields<binding::readonly<"key_map", &DictionaryObject::key_map, binding::any_object>,
                    binding::readonly<"name_map", &DictionaryObject::name_map, binding::any_object>>;

PyType_Slot dictionary_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(dictionary_constructor::doc<"Dictionary", "Dictionary of safe items of a slave">.data())},
    {Py_tp_new, reinterpret_cast<void*>(dictionary_new)},
    {Py_tp_init, reinterpret_cast<void*>(dictionary_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dictionary_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(dictionary_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dictionary_clear)},
    {Py_tp_methods, dictionary_methods::table},
    {Py_tp_getset, dictionary_fields::getset},
    {0, nullptr},
};

PyType_Spec dictionary_spec = {"tamsel.tamsel.Dictionary", sizeof(DictionaryObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, dictionary_slots};

}  // namespace

bool add_dictionary_type(PyObject* module) {
    return binding::add_type(module, &dictionary_spec, nullptr, binding::state().Dictionary);
}

}  // namespace tamsel::data

// The DictionaryMap type: construction, fields, lock and container behaviour.
#include "binding/fields.hpp"
#include "binding/instance.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "mapping/map_internal.hpp"

#include <new>
#include <vector>

namespace tamsel::mapping {

using binding::Ref;

PyTypeObject* map_type() { return binding::as_type(binding::state().DictionaryMap); }

bool is_map(PyObject* obj) { return PyObject_TypeCheck(obj, map_type()); }
bool is_exact_map(PyObject* obj) { return Py_IS_TYPE(obj, map_type()); }

PyObject* new_map(PyObject* dictionary, PyObject* item_types_accepted) {
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(map_type()), dictionary, item_types_accepted,
                                        nullptr);
}

unsigned measure_safety_bits(const MapObject& map) {
    Py_ssize_t count = length(&map);
    const MappedItemObject* last = count == 0 ? nullptr : entry_of(&map, count - 1);
    map.bits = last ? unsigned{last->position_bits} + last->bits : 0;
    map.bits_epoch = layout_epoch();
    return map.bits;
}

Py_ssize_t entry_count(const MapObject& map) { return length(&map); }
PyObject* entry_at(const MapObject& map, Py_ssize_t index) { return PyList_GET_ITEM(map.entries, index); }

bool narrow_to_uint8(long long value, uint8_t& out) {
    if (value < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint8_t");
        return false;
    }
    if (value > 0xFF) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint8_t");
        return false;
    }
    out = static_cast<uint8_t>(value);
    return true;
}

Py_ssize_t find_entry(const MapObject* map, PyObject* entry) {
    for (Py_ssize_t i = 0, n = length(map); i < n; ++i)
        if (PyList_GET_ITEM(map->entries, i) == entry) return i;
    return -1;
}

Py_ssize_t find_item(const MapObject* map, PyObject* item) {
    for (Py_ssize_t i = 0, n = length(map); i < n; ++i)
        if (entry_of(map, i)->item == item) return i;
    return -1;
}

Py_ssize_t index_of_entry(const MapObject* map, PyObject* entry) {
    Py_ssize_t index = find_entry(map, entry);
    if (index < 0) PyErr_Format(PyExc_ValueError, "%R is not in list", entry);
    return index;
}

bool list_insert(MapObject* map, Py_ssize_t index, PyObject* entry) {
    touch_layout();
    return PyList_Insert(map->entries, index, entry) == 0;
}

bool list_append(MapObject* map, PyObject* entry) {
    touch_layout();
    return PyList_Append(map->entries, entry) == 0;
}

bool list_delete(MapObject* map, Py_ssize_t index) {
    touch_layout();
    return PyList_SetSlice(map->entries, index, index + 1, nullptr) == 0;
}

bool list_replace(MapObject* map, Py_ssize_t index, PyObject* entry) {
    touch_layout();
    return PyList_SetItem(map->entries, index, Py_NewRef(entry)) == 0;
}

void list_swap(MapObject* map, Py_ssize_t a, Py_ssize_t b) {
    touch_layout();
    PyObject** items = reinterpret_cast<PyListObject*>(map->entries)->ob_item;
    std::swap(items[a], items[b]);
}

bool list_clear(MapObject* map) {
    touch_layout();
    return PyList_SetSlice(map->entries, 0, length(map), nullptr) == 0;
}

namespace {

using map_native = binding::native<&MapObject::view>;

PyObject* map_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(map_native::allocate(type));
    if (!self) return nullptr;
    auto* map = as_map(self.get());
    map->entries = PyList_New(0);
    if (!map->entries) return nullptr;
    return self.release();
}

int map_init(MapObject* map, PyObject* dictionary, PyObject* accepted) {
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh) return -1;
    binding::assign(map->dictionary, dictionary);
    binding::assign(map->accepted, accepted);
    Ref old_entries = Ref::steal(map->entries);
    map->entries = fresh.release();
    map->locked = false;
    touch_layout();
    return 0;
}

int map_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* map = as_map(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(map->dictionary);
    Py_VISIT(map->accepted);
    Py_VISIT(map->entries);
    return traverse_view(map, visit, arg);
}

int map_clear(PyObject* self) {
    auto* map = as_map(self);
    map->view.reset();
    Py_CLEAR(map->dictionary);
    Py_CLEAR(map->accepted);
    // The entry list stays a list: the map's operations rely on it.
    if (map->entries) PyList_SetSlice(map->entries, 0, PyList_GET_SIZE(map->entries), nullptr);
    return 0;
}

void map_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        map_native::destroy(self);
        auto* map = as_map(self);
        Py_CLEAR(map->dictionary);
        Py_CLEAR(map->accepted);
        Py_CLEAR(map->entries);
    });
}

PyObject* get_items(PyObject* self, void*) {
    auto* map = as_map(self);
    return PyList_GetSlice(map->entries, 0, length(map));
}
PyObject* get_safety_bits(PyObject* self, void*) { return PyLong_FromUnsignedLong(safety_bits(*as_map(self))); }
PyObject* get_safety_bytes(PyObject* self, void*) { return PyLong_FromUnsignedLong(safety_bytes(*as_map(self))); }

Py_ssize_t map_length(PyObject* self) { return length(as_map(self)); }

// The entry at `i`, negative indices counting from the end.
PyObject* map_item(PyObject* self, Py_ssize_t i) {
    auto* map = as_map(self);
    if (i < 0) i += length(map);
    if (i < 0 || i >= length(map)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(map->entries, i));
}

PyObject* map_subscript(PyObject* self, PyObject* index) {
    if (!binding::check_type(index, &PyLong_Type, "index", true)) return nullptr;
    Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return map_item(self, i);
}

int map_contains(PyObject* self, PyObject* item) {
    if (!check_mapped_item(item, "item")) return -1;
    return find_entry(as_map(self), item) >= 0;
}

PyObject* map_iter(PyObject* self) { return new_map_iterator(self); }

bool map_lock(MapObject* map, bool active) {
    lock(*map, active);
    return true;
}

using map_constructor = binding::constructor<
    map_init, binding::param<"dictionary", binding::instance_of<&binding::ModuleState::Dictionary>>,
    binding::param<"item_types_accepted", binding::exact<&PySet_Type>>>;

using map_type_methods = binding::methods<
    binding::method<"_lock", "Lock the map", map_lock, binding::param<"active", binding::truth, "True">>>;

using binding::property;
using binding::readonly;

using map_fields =
    binding::fields<readonly<"dictionary", &MapObject::dictionary, binding::any_object>, property<"_items", get_items>,
                    readonly<"item_types_accepted", &MapObject::accepted, binding::any_object>,
                    readonly<"_locked", &MapObject::locked, binding::truth>,
                    property<"safety_bits", get_safety_bits, nullptr, "Number of bits mapped">,
                    property<"safety_bytes", get_safety_bytes, nullptr, "Number of bytes mapped">,
                    readonly<"locked", &MapObject::locked, binding::truth, "Indicates if the map is locked">>;

// Every method of the type, gathered from the files that define them.
PyMethodDef* all_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> all;
        for (PyMethodDef* table :
             {map_type_methods::table, map_core_methods, map_editing_methods, map_text_methods, map_transfer_methods})
            for (PyMethodDef* def = table; def->ml_name; ++def) all.push_back(*def);
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return methods.data();
}

}  // namespace

bool add_map_type(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(map_constructor::doc<"DictionaryMap", "Map of dictionary to safe data">.data())},
        {Py_tp_new, reinterpret_cast<void*>(map_new)},
        {Py_tp_init, reinterpret_cast<void*>(map_constructor::init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(map_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(map_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(map_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(map_iter)},
        {Py_sq_length, reinterpret_cast<void*>(map_length)},
        {Py_mp_length, reinterpret_cast<void*>(map_length)},
        {Py_mp_subscript, reinterpret_cast<void*>(map_subscript)},
        {Py_sq_item, reinterpret_cast<void*>(map_item)},  // the sequence protocol: reversed() and the like
        {Py_sq_contains, reinterpret_cast<void*>(map_contains)},
        {Py_tp_methods, all_methods()},
        {Py_tp_getset, map_fields::getset},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "tamsel.tamsel.DictionaryMap",
        sizeof(MapObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    return binding::add_type(module, &spec, nullptr, binding::state().DictionaryMap);
}

}  // namespace tamsel::mapping

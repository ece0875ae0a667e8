// The iterator of a DictionaryMap: walks the live entry list by index, like the host's list
// iterator, without handing the list itself to the host.
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

namespace {

struct MapIteratorObject {
    PyObject_HEAD PyObject* map;  // null once exhausted
    Py_ssize_t index;
};

MapIteratorObject* as_iterator(PyObject* obj) { return reinterpret_cast<MapIteratorObject*>(obj); }

PyObject* iterator_next(PyObject* self) {
    MapIteratorObject* it = as_iterator(self);
    if (!it->map) return nullptr;
    MapObject* map = as_map(it->map);
    if (it->index < length(map)) return Py_NewRef(PyList_GET_ITEM(map->entries, it->index++));
    Py_CLEAR(it->map);
    return nullptr;
}

using iterator_references = binding::references<&MapIteratorObject::map>;
constexpr auto iterator_traverse = iterator_references::traverse;
constexpr auto iterator_clear = iterator_references::clear;

void iterator_dealloc(PyObject* self) { binding::gc_dealloc(self, iterator_clear); }

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "tamsel.tamsel.DictionaryMapIterator",
    sizeof(MapIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iterator_slots,
};

}  // namespace

PyObject* new_map_iterator(PyObject* map) {
    PyTypeObject* type = binding::as_type(binding::state().DictionaryMapIterator);
    MapIteratorObject* it = PyObject_GC_New(MapIteratorObject, type);
    if (!it) return nullptr;
    it->map = Py_NewRef(map);
    it->index = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

bool add_map_iterator_type(PyObject* module) {
    binding::Ref type = binding::Ref::steal(PyType_FromModuleAndSpec(module, &iterator_spec, nullptr));
    if (!type) return false;
    binding::state().DictionaryMapIterator = std::move(type);
    return true;
}

}  // namespace tamsel::mapping

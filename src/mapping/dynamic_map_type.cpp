// FSOEDynamicMap: the host type over the dynamic map operations.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "mapping/dynamic_map_object.hpp"
#include "mapping/dynamic_map_types.hpp"

#include <cstddef>

namespace tamsel::mapping {

using binding::Ref;

namespace {

DynamicMapObject* self_map(PyObject* self) { return as_dynamic_map(self); }

PyObject* map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* none[1];
    if (!binding::parse_tuple("__init__", args, kwargs, {}, 0, none)) return nullptr;
    Ref items = Ref::steal(PyList_New(0));
    if (!items) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    self_map(self)->items = items.release();
    self_map(self)->cursor = DynamicCursor{};
    return self;
}

int map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self_map(self)->items);
    return 0;
}

// Leaves None behind, so a map reached after the collector cleared it still has an item field.
int map_clear_refs(PyObject* self) {
    Py_XSETREF(self_map(self)->items, Py_NewRef(Py_None));
    return 0;
}

void map_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        Py_CLEAR(self_map(self)->items);
    });
}

PyObject* none_or_null(int status) {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_clear(PyObject* self, PyObject*) { return none_or_null(dynamic_map_clear(self_map(self))); }

PyObject* map_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item;
    if (!binding::parse_fastcall("add", args, nargs, kwnames, {"item"}, 1, &item)) return nullptr;
    return none_or_null(dynamic_map_add(self_map(self), item));
}

PyObject* map_pending(PyObject* self, PyObject*) { return PyBool_FromLong(dynamic_map_pending(self_map(self))); }

PyObject* map_total_items(PyObject* self, PyObject*) {
    Py_ssize_t total = dynamic_map_total_items(self_map(self));
    return total < 0 ? nullptr : PyLong_FromSsize_t(total);
}

PyObject* map_pending_items(PyObject* self, PyObject*) {
    Py_ssize_t total = dynamic_map_total_items(self_map(self));
    return total < 0 ? nullptr : PyLong_FromSsize_t(total - self_map(self)->cursor.items_processed);
}

using Transfer = int (*)(DynamicMapObject*, PyObject*, std::uint16_t);

PyObject* transfer(const char* name, Transfer operation, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    PyObject* argv[2];
    if (!binding::parse_fastcall(name, args, nargs, kwnames, {"frame", "valid_data_bytes"}, 2, argv)) return nullptr;
    std::uint16_t valid_data_bytes = 0;
    if (!binding::to_unsigned(argv[1], valid_data_bytes)) return nullptr;
    return none_or_null(operation(self_map(self), argv[0], valid_data_bytes));
}

PyObject* map_set_data_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return transfer("set_data_to_frame", dynamic_map_set_data_to_frame, self, args, nargs, kwnames);
}

PyObject* map_get_data_from_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return transfer("get_data_from_frame", dynamic_map_get_data_from_frame, self, args, nargs, kwnames);
}

PyObject* map_is_safedata_correct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* expected;
    if (!binding::parse_fastcall("is_safedata_correct", args, nargs, kwnames, {"expected_map"}, 1, &expected))
        return nullptr;
    int correct = dynamic_map_is_safedata_correct(self_map(self), expected);
    return correct < 0 ? nullptr : PyBool_FromLong(correct);
}

PyObject* items_get(PyObject* self, void*) { return Py_NewRef(self_map(self)->items); }

// A list or None; deleting stores None.
int items_set(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyList_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(value)->tp_name);
        return -1;
    }
    binding::assign(self_map(self)->items, value);
    return 0;
}

template <std::int32_t DynamicCursor::*Counter>
PyObject* counter_get(PyObject* self, void*) {
    return PyLong_FromLong(self_map(self)->cursor.*Counter);
}

PyMethodDef map_methods[] = {
    {"clear", map_clear, METH_NOARGS, "Clear the dynamic map"},
    {"add", binding::as_method(map_add), METH_FASTCALL | METH_KEYWORDS, "Add item to the dynamic map"},
    {"pending", map_pending, METH_NOARGS, "Determines whether there is pending data"},
    {"total_items", map_total_items, METH_NOARGS, "Number of items on the dynamic map."},
    {"pending_items", map_pending_items, METH_NOARGS, "Number of Items pending to be sent or received"},
    {"set_data_to_frame", binding::as_method(map_set_data_to_frame), METH_FASTCALL | METH_KEYWORDS,
     "Gets data from the variables in the map and puts it into a frame"},
    {"get_data_from_frame", binding::as_method(map_get_data_from_frame), METH_FASTCALL | METH_KEYWORDS,
     "Sets data from a received frame to the variables in the map"},
    {"is_safedata_correct", binding::as_method(map_is_safedata_correct), METH_FASTCALL | METH_KEYWORDS,
     "Compare the data that has been processed on this dynamic map to another map"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef map_getsets[] = {
    {"_items", items_get, items_set, "Items mapped on the dynamic map", nullptr},
    {"total_bytes", counter_get<&DynamicCursor::total_bytes>, nullptr, "Number of bytes in the dynamic map", nullptr},
    {"bytes_processed", counter_get<&DynamicCursor::bytes_processed>, nullptr,
     "Number of bytes sent or received from the dynamic map", nullptr},
    {"items_processed", counter_get<&DynamicCursor::items_processed>, nullptr,
     "Number of items completely sent or received from the dynamic map", nullptr},
    {"current_processed_item", counter_get<&DynamicCursor::current_item>, nullptr,
     "Index of the current item being processed in the dynamic map", nullptr},
    {"current_processed_item_byte", counter_get<&DynamicCursor::current_item_byte>, nullptr,
     "N byte of the current item being processed in the dynamic map", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot map_slots[] = {
    {Py_tp_doc, const_cast<char*>("FSoE Dynamic Map")},
    {Py_tp_new, reinterpret_cast<void*>(map_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(map_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(map_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(map_clear_refs)},
    {Py_tp_methods, map_methods},
    {Py_tp_getset, map_getsets},
    {0, nullptr},
};

PyType_Spec map_spec = {
    "tamsel.tamsel.FSOEDynamicMap",
    sizeof(DynamicMapObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    map_slots,
};

}  // namespace

bool add_dynamic_map_type(PyObject* module) {
    return binding::add_type(module, &map_spec, nullptr, binding::state().FSOEDynamicMap);
}

}  // namespace tamsel::mapping

// FSOEDynamicMap: the host type over the dynamic map operations.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
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

PyObject* map_new(PyTypeObject* type) {
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
    binding::gc_dealloc(self, [](PyObject* self) { Py_CLEAR(self_map(self)->items); });
}

bool map_clear(DynamicMapObject* map) { return dynamic_map_clear(map) >= 0; }

bool map_add(DynamicMapObject* map, PyObject* item) { return dynamic_map_add(map, item) >= 0; }

PyObject* map_pending(DynamicMapObject* map) { return PyBool_FromLong(dynamic_map_pending(map)); }

PyObject* map_total_items(DynamicMapObject* map) {
    Py_ssize_t total = dynamic_map_total_items(map);
    return total < 0 ? nullptr : PyLong_FromSsize_t(total);
}

PyObject* map_pending_items(DynamicMapObject* map) {
    Py_ssize_t total = dynamic_map_total_items(map);
    return total < 0 ? nullptr : PyLong_FromSsize_t(total - map->cursor.items_processed);
}

template <int (*Operation)(DynamicMapObject*, PyObject*, std::uint16_t)>
bool transfer(DynamicMapObject* map, PyObject* frame, std::uint16_t valid_data_bytes) {
    return Operation(map, frame, valid_data_bytes) >= 0;
}

PyObject* map_is_safedata_correct(DynamicMapObject* map, PyObject* expected) {
    int correct = dynamic_map_is_safedata_correct(map, expected);
    return correct < 0 ? nullptr : PyBool_FromLong(correct);
}

PyObject* items_get(PyObject* self, void*) { return Py_NewRef(self_map(self)->items); }

// A list or None; deleting stores None.
int items_set(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyList_CheckExact(value)) {
        return binding::raise_expected("list", value) ? 0 : -1;
    }
    binding::assign(self_map(self)->items, value);
    return 0;
}

using binding::method;
using binding::noargs_method;
using binding::param;
using Transfer = binding::param<"frame", binding::any_object>;
using ValidBytes = binding::param<"valid_data_bytes", binding::u16>;

using map_factory = binding::factory<"FSOEDynamicMap", "__init__", "FSoE Dynamic Map", map_new>;

using map_methods = binding::methods<
    noargs_method<"clear", "Clear the dynamic map", map_clear>,
    method<"add", "Add item to the dynamic map", map_add, param<"item", binding::any_object>>,
    noargs_method<"pending", "Determines whether there is pending data", map_pending>,
    noargs_method<"total_items", "Number of items on the dynamic map.", map_total_items>,
    noargs_method<"pending_items", "Number of Items pending to be sent or received", map_pending_items>,
    method<"set_data_to_frame", "Gets data from the variables in the map and puts it into a frame",
           transfer<dynamic_map_set_data_to_frame>, Transfer, ValidBytes>,
    method<"get_data_from_frame", "Sets data from a received frame to the variables in the map",
           transfer<dynamic_map_get_data_from_frame>, Transfer, ValidBytes>,
    method<"is_safedata_correct", "Compare the data that has been processed on this dynamic map to another map",
           map_is_safedata_correct, param<"expected_map", binding::any_object>>>;

// A counter of the map's transfer cursor.
template <binding::Text Name, std::int32_t DynamicCursor::* Counter, binding::Text Doc>
using counter =
    binding::readonly<Name, binding::at<&DynamicMapObject::cursor, Counter>{}, binding::number<std::int32_t>, Doc>;

using map_fields =
    binding::fields<binding::property<"_items", items_get, items_set, "Items mapped on the dynamic map">,
                    counter<"total_bytes", &DynamicCursor::total_bytes, "Number of bytes in the dynamic map">,
                    counter<"bytes_processed", &DynamicCursor::bytes_processed,
                            "Number of bytes sent or received from the dynamic map">,
                    counter<"items_processed", &DynamicCursor::items_processed,
                            "Number of items completely sent or received from the dynamic map">,
                    counter<"current_processed_item", &DynamicCursor::current_item,
                            "Index of the current item being processed in the dynamic map">,
                    counter<"current_processed_item_byte", &DynamicCursor::current_item_byte,
                            "N byte of the current item being processed in the dynamic map">>;

PyType_Slot map_slots[] = {
    {Py_tp_doc, const_cast<char*>(map_factory::doc.data())},
    {Py_tp_new, reinterpret_cast<void*>(map_factory::create)},
    {Py_tp_dealloc, reinterpret_cast<void*>(map_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(map_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(map_clear_refs)},
    {Py_tp_methods, map_methods::table},
    {Py_tp_getset, map_fields::getset},
    {0, nullptr},
};

PyType_Spec map_spec = {
    "tamsel.tamsel.FSOEDynamicMap", sizeof(DynamicMapObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, map_slots,
};

}  // namespace

bool add_dynamic_map_type(PyObject* module) {
    return binding::add_type(module, &map_spec, nullptr, binding::state().FSOEDynamicMap);
}

}  // namespace tamsel::mapping

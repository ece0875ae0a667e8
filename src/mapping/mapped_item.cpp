// The DictionaryMappedItem type.
#include "binding/lifecycle.hpp"
#include "mapping/mapped_item.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "mapping/item_access.hpp"

namespace tamsel::mapping {

using binding::Ref;

namespace {

uint64_t epoch = 0;

PyTypeObject* entry_type() { return binding::as_type(binding::state().DictionaryMappedItem); }

int entry_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!binding::parse_tuple("__init__", args, kwargs, {"item", "bits", "position_bits"}, 3, argv)) return -1;
    if (!check_dictionary_item(argv[0], "item", true)) return -1;
    uint8_t bits = 0, position_bits = 0;
    if (!binding::to_unsigned(argv[1], bits) || !binding::to_unsigned(argv[2], position_bits)) return -1;
    auto* entry = as_mapped_item(self);
    entry->bits = bits;
    entry->position_bits = position_bits;
    touch_layout();
    binding::assign(entry->item, argv[0] == Py_None ? nullptr : argv[0]);
    return 0;
}

int entry_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_mapped_item(self)->item);
    return 0;
}

int entry_clear(PyObject* self) {
    Py_CLEAR(as_mapped_item(self)->item);
    return 0;
}

void entry_dealloc(PyObject* self) { binding::gc_dealloc(self, entry_clear); }

PyObject* get_item(PyObject* self, void*) { return Py_NewRef(entry_item(as_mapped_item(self))); }
PyObject* get_bits(PyObject* self, void*) { return PyLong_FromLong(as_mapped_item(self)->bits); }
PyObject* get_position_bits(PyObject* self, void*) { return PyLong_FromLong(as_mapped_item(self)->position_bits); }

PyObject* entry_copy(PyObject* self, PyObject*) {
    auto* entry = as_mapped_item(self);
    return new_mapped_item(entry->item, entry->bits, entry->position_bits);
}

PyObject* entry_copy_as_padding(PyObject* self, PyObject*) {
    auto* entry = as_mapped_item(self);
    return new_mapped_item(nullptr, entry->bits, entry->position_bits);
}

PyObject* bytes_and_bits(unsigned bits) { return Py_BuildValue("(II)", bits / 8, bits % 8); }

PyObject* entry_position_byte_bits(PyObject* self, PyObject*) {
    return bytes_and_bits(as_mapped_item(self)->position_bits);
}

PyObject* entry_size_bytes_bits(PyObject* self, PyObject*) { return bytes_and_bits(as_mapped_item(self)->bits); }

PyObject* entry_read(PyObject* self, PyObject*) {
    auto* entry = as_mapped_item(self);
    if (is_padding(entry)) return PyLong_FromLong(0);
    return read_item(entry->item);
}

PyObject* entry_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (!binding::parse_fastcall("_write", args, nargs, kwnames, {"value"}, 1, &value)) return nullptr;
    if (!binding::check_type(value, &PyLong_Type, "value", true)) return nullptr;
    auto* entry = as_mapped_item(self);
    if (!is_padding(entry) && !write_item(entry->item, value)) return nullptr;
    Py_RETURN_NONE;
}

template <void (*Store)(MappedItemObject*, uint8_t)>
PyObject* entry_set_width_or_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      const char* function, const char* argname) {
    PyObject* value;
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {argname}, 1, &value)) return nullptr;
    uint8_t converted = 0;
    if (!binding::to_unsigned(value, converted)) return nullptr;
    Store(as_mapped_item(self), converted);
    Py_RETURN_NONE;
}

PyObject* entry_set_position_bits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_set_width_or_position<set_entry_position>(self, args, nargs, kwnames, "_set_position_bits",
                                                           "position_bits");
}

PyObject* entry_set_bits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_set_width_or_position<set_entry_bits>(self, args, nargs, kwnames, "_set_bits", "bits");
}

#define FASTCALL_KW(fn) binding::as_method(fn), METH_FASTCALL | METH_KEYWORDS

PyMethodDef entry_methods[] = {
    {"copy", entry_copy, METH_NOARGS, "Create a copy of the mapped item"},
    {"copy_as_padding", entry_copy_as_padding, METH_NOARGS, "Create and return a copy of this mapped item as padding"},
    {"position_byte_bits", entry_position_byte_bits, METH_NOARGS,
     "Get the position in safe data in whole bytes and remaining bits"},
    {"size_bytes_bits", entry_size_bytes_bits, METH_NOARGS, "Get the size in safe data in whole bytes and remaining bits"},
    {"_read", entry_read, METH_NOARGS, "Read value of the mapped item in integer form"},
    {"_write", FASTCALL_KW(entry_write), "Write value of the mapped item from integer form"},
    {"_set_position_bits", FASTCALL_KW(entry_set_position_bits),
     "Should only be called from the DictionaryMap, and itself re-updated later"},
    {"_set_bits", FASTCALL_KW(entry_set_bits), "Should only be called from the DictionaryMap, and itself re-updated later"},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_KW

PyGetSetDef entry_getset[] = {
    {"item", get_item, nullptr, "Reference to dictionary item. If None represents a padding on safe_data", nullptr},
    {"bits", get_bits, nullptr, "Number of bits the item takes up", nullptr},
    {"position_bits", get_position_bits, nullptr, "Position in safe data in bits", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dictionary Item mapped to a safe data")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(entry_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(entry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(entry_clear)},
    {Py_tp_methods, entry_methods},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "tamsel.tamsel.DictionaryMappedItem",
    sizeof(MappedItemObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    entry_slots,
};

}  // namespace

bool is_mapped_item(PyObject* obj) { return PyObject_TypeCheck(obj, entry_type()); }

bool check_mapped_item(PyObject* obj, const char* argname) {
    return binding::check_type(obj, entry_type(), argname, false);
}

PyObject* new_mapped_item(PyObject* item, uint8_t bits, uint8_t position_bits) {
    PyTypeObject* type = entry_type();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    auto* entry = as_mapped_item(obj.get());
    entry->item = (item == nullptr || item == Py_None) ? nullptr : Py_NewRef(item);
    entry->bits = bits;
    entry->position_bits = position_bits;
    return obj.release();
}

void set_entry_bits(MappedItemObject* entry, uint8_t bits) {
    entry->bits = bits;
    touch_layout();
}

void set_entry_position(MappedItemObject* entry, uint8_t position_bits) {
    entry->position_bits = position_bits;
    touch_layout();
}

uint64_t layout_epoch() { return epoch; }
void touch_layout() { ++epoch; }

bool add_mapped_item_type(PyObject* module) {
    return binding::add_type(module, &entry_spec, nullptr, binding::state().DictionaryMappedItem);
}

}  // namespace tamsel::mapping

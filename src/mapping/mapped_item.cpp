// The DictionaryMappedItem type.
#include "binding/lifecycle.hpp"
#include "mapping/mapped_item.hpp"

#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "mapping/item_access.hpp"

namespace tamsel::mapping {

using binding::Ref;

namespace {

PyTypeObject* entry_type() { return binding::as_type(binding::state().DictionaryMappedItem); }

bool entry_init(MappedItemObject* entry, PyObject* item, uint8_t bits, uint8_t position_bits) {
    entry->bits = bits;
    entry->position_bits = position_bits;
    touch_layout();
    binding::assign(entry->item, item == Py_None ? nullptr : item);
    return true;
}

using entry_references = binding::references<&MappedItemObject::item>;
constexpr auto entry_traverse = entry_references::traverse;
constexpr auto entry_clear = entry_references::clear;

void entry_dealloc(PyObject* self) { binding::gc_dealloc(self, entry_clear); }

PyObject* get_item(PyObject* self, void*) { return Py_NewRef(entry_item(as_mapped_item(self))); }

PyObject* entry_copy(MappedItemObject* entry) {
    return new_mapped_item(entry->item, entry->bits, entry->position_bits);
}

PyObject* entry_copy_as_padding(MappedItemObject* entry) {
    return new_mapped_item(nullptr, entry->bits, entry->position_bits);
}

PyObject* bytes_and_bits(unsigned bits) { return Py_BuildValue("(II)", bits / 8, bits % 8); }

PyObject* entry_position_byte_bits(MappedItemObject* entry) { return bytes_and_bits(entry->position_bits); }

PyObject* entry_size_bytes_bits(MappedItemObject* entry) { return bytes_and_bits(entry->bits); }

PyObject* entry_read(MappedItemObject* entry) {
    if (is_padding(entry)) return PyLong_FromLong(0);
    return read_item(entry->item);
}

bool entry_write(MappedItemObject* entry, PyObject* value) {
    return is_padding(entry) || write_item(entry->item, value);
}

template <void (*Store)(MappedItemObject*, uint8_t)>
bool store(MappedItemObject* entry, uint8_t value) {
    Store(entry, value);
    return true;
}

// An item of a dictionary, or None for a padding.
struct item_or_none {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        out = obj;
        return check_dictionary_item(obj, argname, true);
    }
};

using binding::method;
using binding::noargs_method;
using binding::param;
using Bits = param<"bits", binding::u8>;
using PositionBits = param<"position_bits", binding::u8>;
constexpr binding::Text internal_doc = "Should only be called from the DictionaryMap, and itself re-updated later";

using entry_constructor = binding::constructor<entry_init, param<"item", item_or_none>, Bits, PositionBits>;

using entry_methods = binding::methods<
    noargs_method<"copy", "Create a copy of the mapped item", entry_copy>,
    noargs_method<"copy_as_padding", "Create and return a copy of this mapped item as padding", entry_copy_as_padding>,
    noargs_method<"position_byte_bits", "Get the position in safe data in whole bytes and remaining bits",
                  entry_position_byte_bits>,
    noargs_method<"size_bytes_bits", "Get the size in safe data in whole bytes and remaining bits",
                  entry_size_bytes_bits>,
    noargs_method<"_read", "Read value of the mapped item in integer form", entry_read>,
    method<"_write", "Write value of the mapped item from integer form", entry_write,
           param<"value", binding::exact_int>>,
    method<"_set_position_bits", internal_doc, store<set_entry_position>, PositionBits>,
    method<"_set_bits", internal_doc, store<set_entry_bits>, Bits>>;

using entry_fields = binding::fields<
    binding::property<"item", get_item, nullptr,
                      "Reference to dictionary item. If None represents a padding on safe_data">,
    binding::readonly<"bits", &MappedItemObject::bits, binding::u8, "Number of bits the item takes up">,
    binding::readonly<"position_bits", &MappedItemObject::position_bits, binding::u8, "Position in safe data in bits">>;

PyType_Slot entry_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(entry_constructor::doc<"DictionaryMappedItem", "Dictionary Item mapped to a safe data">.data())},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(entry_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(entry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(entry_clear)},
    {Py_tp_methods, entry_methods::table},
    {Py_tp_getset, entry_fields::getset},
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

bool add_mapped_item_type(PyObject* module) {
    return binding::add_type(module, &entry_spec, nullptr, binding::state().DictionaryMappedItem);
}

}  // namespace tamsel::mapping

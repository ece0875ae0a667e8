// The four dictionary item types: DictionaryItem and its kinds input, output and input-output.
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "data/data_type_object.hpp"
#include "data/hooks.hpp"
#include "data/item_subscribers.hpp"
#include "data/item_values.hpp"

#include <utility>

namespace tamsel::data {

using binding::Ref;

namespace {

ItemObject* self_item(PyObject* self) { return as_item(self); }

// After any change of an item's data type or of several of its slots at once.
void touch_item(ItemObject* item) noexcept {
    touch_outputs();
    touch_inputs(item);
}

// Life cycle, shared by every kind: every value slot holds an object from allocation on; the
// subscriber list is made when it is first needed (most items never have a subscriber).

PyObject* item_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ItemObject* item = self_item(self.get());
    for (PyObject** slot : {&item->name, &item->data_type, &item->value, &item->value_output, &item->fail_safe})
        *slot = Py_NewRef(Py_None);
    item->has_known_type = false;
    touch_item(item);
    return self.release();
}

int item_traverse(PyObject* self, visitproc visit, void* arg) {
    ItemObject* item = self_item(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(item->name);
    Py_VISIT(item->data_type);
    Py_VISIT(item->value);
    Py_VISIT(item->value_output);
    Py_VISIT(item->fail_safe);
    Py_VISIT(item->subscribers);
    return 0;
}

// Breaking a cycle leaves None in the value slots and no subscriber list, so code that still
// reaches the object (a finalizer of the same cycle) finds a consistent item.
int item_clear(PyObject* self) {
    ItemObject* item = self_item(self);
    for (PyObject** slot : {&item->name, &item->data_type, &item->value, &item->value_output, &item->fail_safe})
        Py_XSETREF(*slot, Py_NewRef(Py_None));  // `value` is null while pending
    Py_CLEAR(item->subscribers);
    touch_item(item);
    return 0;
}

void item_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        ItemObject* item = self_item(self);
        for (PyObject** slot :
             {&item->name, &item->data_type, &item->value, &item->value_output, &item->fail_safe, &item->subscribers})
            Py_CLEAR(*slot);
    });
}

// Construction. Every argument is checked before anything is stored.

struct BaseFields {
    int32_t key;
    PyObject* name;
    PyObject* data_type;
};

bool parse_base(PyObject* key, PyObject* name, PyObject* data_type, BaseFields& out) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (number == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
        return false;
    }
    out = {static_cast<int32_t>(number), name, data_type};
    return true;
}

// A pending input value is made first: it stands for a value only under the old data type.
bool store_base(ItemObject* item, const BaseFields& fields) {
    if (!item->value && !make_pending_input(item)) return false;
    std::optional<DataType> known = data_type_of(fields.data_type);
    item->key = fields.key;
    item->has_known_type = known.has_value();
    item->known_type = known.value_or(DataType::BOOL);
    binding::assign(item->name, fields.name);
    binding::assign(item->data_type, fields.data_type);
    touch_item(item);
    return true;
}

// The data type's initial value: native for members, `get_initial_value()` otherwise.
PyObject* initial_value_of(PyObject* data_type) {
    if (std::optional<DataType> type = data_type_of(data_type)) return initial_value(*type);
    return PyObject_CallMethod(data_type, "get_initial_value", nullptr);
}

bool base_init(ItemObject* item, PyObject* key, PyObject* name, PyObject* data_type) {
    BaseFields fields;
    return parse_base(key, name, data_type, fields) && store_base(item, fields);
}

// Input and input-output: the fail-safe value is also the first input value.
bool input_init(ItemObject* item, PyObject* key, PyObject* name, PyObject* data_type, PyObject* fail_safe,
                bool with_output) {
    BaseFields fields;
    if (!parse_base(key, name, data_type, fields)) return false;
    Ref output = with_output ? Ref::steal(initial_value_of(data_type)) : Ref::borrow(Py_None);
    if (!output) return false;
    reset_subscribers(item);
    if (!store_base(item, fields)) return false;
    binding::assign(item->fail_safe, fail_safe);
    binding::assign(item->value, fail_safe);
    binding::assign(item->value_output, output.get());
    touch_item(item);
    return true;
}

bool item_input_init(ItemObject* item, PyObject* key, PyObject* name, PyObject* data_type, PyObject* fail_safe) {
    return input_init(item, key, name, data_type, fail_safe, false);
}

bool item_input_output_init(ItemObject* item, PyObject* key, PyObject* name, PyObject* data_type, PyObject* fail_safe) {
    return input_init(item, key, name, data_type, fail_safe, true);
}

bool item_output_init(ItemObject* item, PyObject* key, PyObject* name, PyObject* data_type) {
    BaseFields fields;
    if (!parse_base(key, name, data_type, fields)) return false;
    Ref value = Ref::steal(initial_value_of(data_type));
    if (!value || !store_base(item, fields)) return false;
    binding::assign(item->value, value.get());
    touch_item(item);
    return true;
}

using binding::param;
using Key = param<"key", binding::exact_int>;
using Name = param<"name", binding::exact_str>;
using Type = param<"data_type", binding::any_object>;

using base_constructor = binding::constructor<base_init, Key, Name, Type>;
using input_constructor =
    binding::constructor<item_input_init, Key, Name, Type, param<"fail_safe_value", binding::any_object>>;
using output_constructor = binding::constructor<item_output_init, Key, Name, Type>;
using input_output_constructor =
    binding::constructor<item_input_output_init, Key, Name, Type, param<"fail_safe_input_value", binding::any_object>>;

// Properties.

PyObject* get_value_slot(PyObject* self, void*) {
    ItemObject* item = self_item(self);
    return Py_XNewRef(item->value ? item->value : make_pending_input(item));
}
// The subscriber list, made when first read (most inputs never get a subscriber).
PyObject* get_subscribers(PyObject* self, void*) { return Py_XNewRef(subscriber_list(self_item(self))); }

// Methods. The kind is the one of the module type the object's class derives from, so a host
// subclass that does not override a method runs the method of its base kind.

PyObject* method_get(PyObject* self) { return get_value(self_item(self), kind_of_item(self)); }

bool method_set(PyObject* self, PyObject* value) { return set_value(self_item(self), kind_of_item(self), value); }

PyObject* method_read(PyObject* self) {
    ItemKind kind = kind_of_item(self);
    return has_output(kind) ? read_output_object(self_item(self), kind) : raise_not_implemented();
}

bool method_write(PyObject* self, PyObject* value) { return write_value(self_item(self), kind_of_item(self), value); }

bool method_set_fail_safe(PyObject* self) { return set_fail_safe_value(self_item(self), kind_of_item(self)); }

using binding::method;
using Value = param<"value", binding::any_object>;
using Callback = param<"callback", binding::any_object>;

using get_method = method<"get", "Get value of the item", method_get>;
using set_method = method<"set", "Only allowed on Safe Outputs", method_set, Value>;
using read_method = method<"_read", "Read value of the item in integer form", method_read>;
using write_method = method<"_write", "Write value of the item from integer form", method_write, Value>;
using fail_safe_method =
    method<"_set_fail_safe", "Set in fail-safe mode. Only applicable to inputs", method_set_fail_safe>;

using base_methods = binding::methods<get_method, set_method, read_method, write_method, fail_safe_method>;

using input_methods = binding::methods<
    get_method, set_method, write_method, fail_safe_method,
    method<"subscribe_changed", "Subscribe to changes of the value of the item", add_subscriber, Callback>,
    method<"unsubscribe_changed", "Unsubscribe from changes of the value of the item", remove_subscriber, Callback>,
    method<"_DictionaryItemInput__set_value", "", set_input_value, Value>>;

using output_methods = binding::methods<get_method, set_method, read_method>;

using input_output_methods = binding::methods<
    get_method, set_method, read_method, write_method, fail_safe_method,
    method<"subscribe_input_changed", "Subscribe to changes of the input value of the item", add_subscriber, Callback>,
    method<"unsubscribe_input_changed", "Unsubscribe from changes of the input value of the item", remove_subscriber,
           Callback>,
    method<"_DictionaryItemInputOutput__set_value_input", "", set_input_value, Value>>;

// `item.__class__` reads and assigns as object's own does; an assignment counts as a change of
// the item's values, as maps remember their transfers by the epochs of such changes.
PyObject* get_class(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(self))); }

int set_class(PyObject* self, PyObject* value, void*) {
    Ref namespace_ = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dict__"));
    Ref descriptor = Ref::steal(namespace_ ? PyMapping_GetItemString(namespace_.get(), "__class__") : nullptr);
    if (!descriptor) return -1;
    descrsetfunc set = Py_TYPE(descriptor.get())->tp_descr_set;
    if (!set || set(descriptor.get(), self, value) < 0) return -1;
    touch_item(self_item(self));
    return 0;
}

// An object slot of the item; an empty one reads as None.
template <binding::Text Name, PyObject* ItemObject::* Slot, binding::Text Doc = "">
using slot = binding::readonly<Name, Slot, binding::any_object, Doc>;

using base_fields = binding::fields<
    binding::property<"__class__", get_class, set_class>,
    binding::readonly<"key", &ItemObject::key, binding::number<int32_t>, "Unique integer key that identifies the item">,
    slot<"name", &ItemObject::name, "Unique string key that identifies the item">,
    slot<"data_type", &ItemObject::data_type, "Data Type of the item">>;

using input_fields =
    binding::fields<binding::property<"_value", get_value_slot>, slot<"fail_safe_value", &ItemObject::fail_safe>,
                    binding::property<"_DictionaryItemInput__changed_subscribers", get_subscribers>>;

using output_fields = binding::fields<binding::property<"_value", get_value_slot>>;

using input_output_fields =
    binding::fields<binding::property<"value_input", get_value_slot>, slot<"value_output", &ItemObject::value_output>,
                    slot<"fail_safe_input_value", &ItemObject::fail_safe>,
                    binding::property<"_DictionaryItemInputOutput__changed_input_subscribers", get_subscribers>>;

constexpr unsigned item_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// Every kind names these itself: a type with Py_TPFLAGS_HAVE_GC must bring its own traverse.
#define TAMSEL_ITEM_LIFE_CYCLE_SLOTS                                                                        \
    {Py_tp_new, reinterpret_cast<void*>(item_new)}, {Py_tp_dealloc, reinterpret_cast<void*>(item_dealloc)}, \
        {Py_tp_traverse, reinterpret_cast<void*>(item_traverse)}, {                                         \
        Py_tp_clear, reinterpret_cast<void*>(item_clear)                                                    \
    }

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char*>(base_constructor::doc<"DictionaryItem", "Dictionary Item">.data())},
    {Py_tp_init, reinterpret_cast<void*>(base_constructor::init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, base_methods::table},
    {Py_tp_getset, base_fields::getset},
    {0, nullptr},
};

PyType_Slot input_slots[] = {
    {Py_tp_doc, const_cast<char*>(input_constructor::doc<"DictionaryItemInput", "">.data())},
    {Py_tp_init, reinterpret_cast<void*>(input_constructor::init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, input_methods::table},
    {Py_tp_getset, input_fields::getset},
    {0, nullptr},
};

PyType_Slot output_slots[] = {
    {Py_tp_doc, const_cast<char*>(output_constructor::doc<"DictionaryItemOutput", "">.data())},
    {Py_tp_init, reinterpret_cast<void*>(output_constructor::init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, output_methods::table},
    {Py_tp_getset, output_fields::getset},
    {0, nullptr},
};

PyType_Slot input_output_slots[] = {
    {Py_tp_doc, const_cast<char*>(input_output_constructor::doc<"DictionaryItemInputOutput", "">.data())},
    {Py_tp_init, reinterpret_cast<void*>(input_output_constructor::init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, input_output_methods::table},
    {Py_tp_getset, input_output_fields::getset},
    {0, nullptr},
};

#undef TAMSEL_ITEM_LIFE_CYCLE_SLOTS

PyType_Spec base_spec = {"tamsel.tamsel.DictionaryItem", sizeof(ItemObject), 0, item_flags, base_slots};
PyType_Spec input_spec = {"tamsel.tamsel.DictionaryItemInput", 0, 0, item_flags, input_slots};
PyType_Spec output_spec = {"tamsel.tamsel.DictionaryItemOutput", 0, 0, item_flags, output_slots};
PyType_Spec input_output_spec = {"tamsel.tamsel.DictionaryItemInputOutput", 0, 0, item_flags, input_output_slots};

}  // namespace

bool add_item_types(PyObject* module) {
    binding::ModuleState& st = binding::state();
    if (!binding::add_type(module, &base_spec, nullptr, st.DictionaryItem)) return false;
    for (auto [spec, slot] :
         {std::pair{&input_spec, &st.DictionaryItemInput}, std::pair{&output_spec, &st.DictionaryItemOutput},
          std::pair{&input_output_spec, &st.DictionaryItemInputOutput}})
        // A kind's class doc carries only its constructor's text signature; the kinds publish no
        // docstring of their own.
        if (!binding::add_type(module, spec, st.DictionaryItem.get(), *slot) ||
            PyObject_SetAttrString(slot->get(), "__doc__", Py_None) < 0)
            return false;
    return true;
}

}  // namespace tamsel::data

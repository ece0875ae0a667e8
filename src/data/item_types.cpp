// The four dictionary item types: DictionaryItem and its kinds input, output and input-output.
#include "binding/args.hpp"
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
void touch_item() noexcept {
    touch_outputs();
    touch_inputs();
}

// Life cycle, shared by every kind: every slot holds an object from allocation on.

PyObject* item_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ItemObject* item = self_item(self.get());
    item->subscribers = PyList_New(0);
    if (!item->subscribers) return nullptr;
    for (PyObject** slot : {&item->name, &item->data_type, &item->value, &item->value_output, &item->fail_safe})
        *slot = Py_NewRef(Py_None);
    item->has_known_type = false;
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
        Py_SETREF(*slot, Py_NewRef(Py_None));
    Py_CLEAR(item->subscribers);
    touch_item();
    return 0;
}

void item_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        ItemObject* item = self_item(self);
        for (PyObject** slot : {&item->name, &item->data_type, &item->value, &item->value_output, &item->fail_safe,
                                &item->subscribers})
            Py_CLEAR(*slot);
    });
}

PyObject* slot_value(PyObject* slot) { return Py_NewRef(slot ? slot : Py_None); }

// Construction. Every argument is checked before anything is stored.

struct BaseFields {
    int32_t key;
    PyObject* name;
    PyObject* data_type;
};

bool parse_base(PyObject* key, PyObject* name, PyObject* data_type, BaseFields& out) {
    if (!binding::check_type(key, &PyLong_Type, "key", true) || !binding::check_type(name, &PyUnicode_Type, "name", true))
        return false;
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

void store_base(ItemObject* item, const BaseFields& fields) {
    std::optional<DataType> known = data_type_of(fields.data_type);
    item->key = fields.key;
    item->has_known_type = known.has_value();
    item->known_type = known.value_or(DataType::BOOL);
    binding::assign(item->name, fields.name);
    binding::assign(item->data_type, fields.data_type);
    touch_item();
}

// The data type's initial value: native for members, `get_initial_value()` otherwise.
PyObject* initial_value_of(PyObject* data_type) {
    if (std::optional<DataType> type = data_type_of(data_type)) return initial_value(*type);
    return PyObject_CallMethod(data_type, "get_initial_value", nullptr);
}

int base_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* parsed[3];
    BaseFields fields;
    if (!binding::parse_tuple("__init__", args, kwargs, {"key", "name", "data_type"}, 3, parsed) ||
        !parse_base(parsed[0], parsed[1], parsed[2], fields))
        return -1;
    store_base(self_item(self), fields);
    return 0;
}

// Input and input-output: the fail-safe value is also the first input value.
int input_init(PyObject* self, PyObject* args, PyObject* kwargs, const char* fail_safe_name, bool with_output) {
    PyObject* parsed[4];
    BaseFields fields;
    if (!binding::parse_tuple("__init__", args, kwargs, {"key", "name", "data_type", fail_safe_name}, 4, parsed) ||
        !parse_base(parsed[0], parsed[1], parsed[2], fields))
        return -1;
    Ref output = with_output ? Ref::steal(initial_value_of(parsed[2])) : Ref::borrow(Py_None);
    if (!output) return -1;
    ItemObject* item = self_item(self);
    if (!reset_subscribers(item)) return -1;
    store_base(item, fields);
    binding::assign(item->fail_safe, parsed[3]);
    binding::assign(item->value, parsed[3]);
    binding::assign(item->value_output, output.get());
    touch_item();
    return 0;
}

int item_input_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return input_init(self, args, kwargs, "fail_safe_value", false);
}

int item_input_output_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return input_init(self, args, kwargs, "fail_safe_input_value", true);
}

int item_output_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* parsed[3];
    BaseFields fields;
    if (!binding::parse_tuple("__init__", args, kwargs, {"key", "name", "data_type"}, 3, parsed) ||
        !parse_base(parsed[0], parsed[1], parsed[2], fields))
        return -1;
    Ref value = Ref::steal(initial_value_of(parsed[2]));
    if (!value) return -1;
    ItemObject* item = self_item(self);
    store_base(item, fields);
    binding::assign(item->value, value.get());
    touch_item();
    return 0;
}

// Properties.

PyObject* get_key(PyObject* self, void*) { return PyLong_FromLong(self_item(self)->key); }
PyObject* get_name(PyObject* self, void*) { return slot_value(self_item(self)->name); }
PyObject* get_data_type(PyObject* self, void*) { return slot_value(self_item(self)->data_type); }
PyObject* get_value_slot(PyObject* self, void*) { return slot_value(self_item(self)->value); }
PyObject* get_value_output(PyObject* self, void*) { return slot_value(self_item(self)->value_output); }
PyObject* get_fail_safe(PyObject* self, void*) { return slot_value(self_item(self)->fail_safe); }
PyObject* get_subscribers(PyObject* self, void*) { return slot_value(self_item(self)->subscribers); }

// Methods. The kind is the one of the module type the object's class derives from, so a host
// subclass that does not override a method runs the method of its base kind.

bool no_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::parse_fastcall(name, args, nargs, kwnames, {}, 0, nullptr);
}

PyObject* one_argument(const char* name, const char* argname, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* parsed = nullptr;
    return binding::parse_fastcall(name, args, nargs, kwnames, {argname}, 1, &parsed) ? parsed : nullptr;
}

PyObject* none_or_null(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

PyObject* method_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments("get", args, nargs, kwnames)) return nullptr;
    return get_value(self_item(self), kind_of_item(self));
}

PyObject* method_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_argument("set", "value", args, nargs, kwnames);
    return value ? none_or_null(set_value(self_item(self), kind_of_item(self), value)) : nullptr;
}

PyObject* method_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments("_read", args, nargs, kwnames)) return nullptr;
    ItemKind kind = kind_of_item(self);
    return has_output(kind) ? read_output_object(self_item(self), kind) : raise_not_implemented();
}

PyObject* method_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_argument("_write", "value", args, nargs, kwnames);
    return value ? none_or_null(write_value(self_item(self), kind_of_item(self), value)) : nullptr;
}

PyObject* method_set_fail_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments("_set_fail_safe", args, nargs, kwnames)) return nullptr;
    return none_or_null(set_fail_safe_value(self_item(self), kind_of_item(self)));
}

// The private setter, under the host's private-name form.
PyObject* method_set_input(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* value = one_argument(name, "value", args, nargs, kwnames);
    return value ? none_or_null(set_input_value(self_item(self), value)) : nullptr;
}

PyObject* method_set_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_set_input("__set_value", self, args, nargs, kwnames);
}

PyObject* method_set_value_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_set_input("__set_value_input", self, args, nargs, kwnames);
}

// Subscriptions: no duplicates by the host's `==`; removal of the first equal entry.

PyObject* subscribe(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* callback = one_argument(name, "callback", args, nargs, kwnames);
    return callback ? none_or_null(add_subscriber(self_item(self), callback)) : nullptr;
}

PyObject* unsubscribe(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* callback = one_argument(name, "callback", args, nargs, kwnames);
    return callback ? none_or_null(remove_subscriber(self_item(self), callback)) : nullptr;
}

PyObject* method_subscribe_changed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return subscribe("subscribe_changed", self, args, nargs, kwnames);
}
PyObject* method_unsubscribe_changed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unsubscribe("unsubscribe_changed", self, args, nargs, kwnames);
}
PyObject* method_subscribe_input_changed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return subscribe("subscribe_input_changed", self, args, nargs, kwnames);
}
PyObject* method_unsubscribe_input_changed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return unsubscribe("unsubscribe_input_changed", self, args, nargs, kwnames);
}

#define TAMSEL_METHOD(name, fn, doc) \
    {name, binding::as_method(fn), METH_FASTCALL | METH_KEYWORDS, doc}

constexpr const char* get_doc = "get($self)\n--\n\nGet value of the item";
constexpr const char* set_doc = "set($self, value)\n--\n\nOnly allowed on Safe Outputs";
constexpr const char* read_doc = "_read($self)\n--\n\nRead value of the item in integer form";
constexpr const char* write_doc = "_write($self, value)\n--\n\nWrite value of the item from integer form";
constexpr const char* fail_safe_doc = "_set_fail_safe($self)\n--\n\nSet in fail-safe mode. Only applicable to inputs";

PyMethodDef base_methods[] = {
    TAMSEL_METHOD("get", method_get, get_doc),
    TAMSEL_METHOD("set", method_set, set_doc),
    TAMSEL_METHOD("_read", method_read, read_doc),
    TAMSEL_METHOD("_write", method_write, write_doc),
    TAMSEL_METHOD("_set_fail_safe", method_set_fail_safe, fail_safe_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef input_methods[] = {
    TAMSEL_METHOD("get", method_get, get_doc),
    TAMSEL_METHOD("set", method_set, set_doc),
    TAMSEL_METHOD("_write", method_write, write_doc),
    TAMSEL_METHOD("_set_fail_safe", method_set_fail_safe, fail_safe_doc),
    TAMSEL_METHOD("subscribe_changed", method_subscribe_changed,
                  "subscribe_changed($self, callback)\n--\n\nSubscribe to changes of the value of the item"),
    TAMSEL_METHOD("unsubscribe_changed", method_unsubscribe_changed,
                  "unsubscribe_changed($self, callback)\n--\n\nUnsubscribe from changes of the value of the item"),
    TAMSEL_METHOD("_DictionaryItemInput__set_value", method_set_value, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef output_methods[] = {
    TAMSEL_METHOD("get", method_get, get_doc),
    TAMSEL_METHOD("set", method_set, set_doc),
    TAMSEL_METHOD("_read", method_read, read_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef input_output_methods[] = {
    TAMSEL_METHOD("get", method_get, get_doc),
    TAMSEL_METHOD("set", method_set, set_doc),
    TAMSEL_METHOD("_read", method_read, read_doc),
    TAMSEL_METHOD("_write", method_write, write_doc),
    TAMSEL_METHOD("_set_fail_safe", method_set_fail_safe, fail_safe_doc),
    TAMSEL_METHOD("subscribe_input_changed", method_subscribe_input_changed,
                  "subscribe_input_changed($self, callback)\n--\n\nSubscribe to changes of the input value of the item"),
    TAMSEL_METHOD("unsubscribe_input_changed", method_unsubscribe_input_changed,
                  "unsubscribe_input_changed($self, callback)\n--\n\n"
                  "Unsubscribe from changes of the input value of the item"),
    TAMSEL_METHOD("_DictionaryItemInputOutput__set_value_input", method_set_value_input, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

#undef TAMSEL_METHOD

PyGetSetDef base_getset[] = {
    {"key", get_key, nullptr, "Unique integer key that identifies the item", nullptr},
    {"name", get_name, nullptr, "Unique string key that identifies the item", nullptr},
    {"data_type", get_data_type, nullptr, "Data Type of the item", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef input_getset[] = {
    {"_value", get_value_slot, nullptr, nullptr, nullptr},
    {"fail_safe_value", get_fail_safe, nullptr, nullptr, nullptr},
    {"_DictionaryItemInput__changed_subscribers", get_subscribers, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef output_getset[] = {
    {"_value", get_value_slot, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef input_output_getset[] = {
    {"value_input", get_value_slot, nullptr, nullptr, nullptr},
    {"value_output", get_value_output, nullptr, nullptr, nullptr},
    {"fail_safe_input_value", get_fail_safe, nullptr, nullptr, nullptr},
    {"_DictionaryItemInputOutput__changed_input_subscribers", get_subscribers, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned item_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// Every kind names these itself: a type with Py_TPFLAGS_HAVE_GC must bring its own traverse.
#define TAMSEL_ITEM_LIFE_CYCLE_SLOTS                                                                      \
    {Py_tp_new, reinterpret_cast<void*>(item_new)}, {Py_tp_dealloc, reinterpret_cast<void*>(item_dealloc)}, \
        {Py_tp_traverse, reinterpret_cast<void*>(item_traverse)}, {Py_tp_clear, reinterpret_cast<void*>(item_clear)}

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dictionary Item")},
    {Py_tp_init, reinterpret_cast<void*>(base_init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, base_methods},
    {Py_tp_getset, base_getset},
    {0, nullptr},
};

PyType_Slot input_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(item_input_init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, input_methods},
    {Py_tp_getset, input_getset},
    {0, nullptr},
};

PyType_Slot output_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(item_output_init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, output_methods},
    {Py_tp_getset, output_getset},
    {0, nullptr},
};

PyType_Slot input_output_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(item_input_output_init)},
    TAMSEL_ITEM_LIFE_CYCLE_SLOTS,
    {Py_tp_methods, input_output_methods},
    {Py_tp_getset, input_output_getset},
    {0, nullptr},
};

#undef TAMSEL_ITEM_LIFE_CYCLE_SLOTS

PyType_Spec base_spec = {"tamsel.tamsel.DictionaryItem", sizeof(ItemObject), 0, item_flags, base_slots};
PyType_Spec input_spec = {"tamsel.tamsel.DictionaryItemInput", 0, 0, item_flags, input_slots};
PyType_Spec output_spec = {"tamsel.tamsel.DictionaryItemOutput", 0, 0, item_flags, output_slots};
PyType_Spec input_output_spec = {"tamsel.tamsel.DictionaryItemInputOutput", 0, 0, item_flags,
                                 input_output_slots};

}  // namespace

bool add_item_types(PyObject* module) {
    binding::ModuleState& st = binding::state();
    if (!binding::add_type(module, &base_spec, nullptr, st.DictionaryItem)) return false;
    for (auto [spec, slot] : {std::pair{&input_spec, &st.DictionaryItemInput}, std::pair{&output_spec, &st.DictionaryItemOutput},
                              std::pair{&input_output_spec, &st.DictionaryItemInputOutput}})
        if (!binding::add_type(module, spec, st.DictionaryItem.get(), *slot)) return false;
    return true;
}

}  // namespace tamsel::data

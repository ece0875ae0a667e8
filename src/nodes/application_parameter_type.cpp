// ApplicationParameter: a DynamicMappableItem the host declares, bound to one handler for good
// and frozen while that handler runs.
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "data/data_type_object.hpp"
#include "mapping/dynamic_map_types.hpp"
#include "nodes/node_object.hpp"
#include "nodes/node_types.hpp"

namespace tamsel::master {

using binding::Ref;

namespace {

ApplicationParameterObject* self_parameter(PyObject* self) { return as_application_parameter(self); }

PyObject* parameter_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    self_parameter(self)->name = Py_NewRef(Py_None);
    self_parameter(self)->used_by_master = Py_NewRef(Py_None);
    return self;
}

// The data type a size alone stands for: 1, 2 and 4 bytes are the unsigned integers.
// Borrowed member, or null with ValueError.
PyObject* data_type_for_size(PyObject* n_bytes) {
    int overflow = 0;
    switch (PyLong_AsLongAndOverflow(n_bytes, &overflow)) {
        case 1: return data::data_type_member(data::DataType::UINT8);
        case 2: return data::data_type_member(data::DataType::UINT16);
        case 4: return data::data_type_member(data::DataType::UINT32);
        default: PyErr_SetString(PyExc_ValueError, "n_bytes must be 1, 2 or 4, or type be specified"); return nullptr;
    }
}

int parameter_init(PyObject* self, PyObject* name, PyObject* initial_value, PyObject* n_bytes, PyObject* data_type) {
    ApplicationParameterObject* parameter = self_parameter(self);
    // A binding to a handler survives a second __init__: it is for good.
    binding::assign(parameter->name, name);
    if (data_type == Py_None && n_bytes == Py_None) {
        PyErr_SetString(PyExc_ValueError, "data type or number of bytes for application parameter must be specified");
        return -1;
    }
    if (data_type == Py_None) {
        data_type = data_type_for_size(n_bytes);
        if (data_type == nullptr) return -1;
    }
    Ref type_bytes = Ref::steal(PyObject_GetAttr(data_type, binding::names().bytes));
    if (!type_bytes) return -1;
    if (n_bytes != Py_None) {
        int differs = PyObject_RichCompareBool(n_bytes, type_bytes.get(), Py_NE);
        if (differs < 0) return -1;
        if (differs) {
            PyErr_SetString(PyExc_ValueError, "n_bytes must be equal to the number of bytes of the data type");
            return -1;
        }
    }
    return mapping::dynamic_item_init(&parameter->item, initial_value, data_type);
}

PyObject* parameter_set(PyObject* self, PyObject* value) {
    // The handler is held: asking whether it runs may run host code.
    Ref master = Ref::borrow(self_parameter(self)->used_by_master);
    if (master.get() != Py_None) {
        Ref running = Ref::steal(PyObject_GetAttr(master.get(), binding::names().running));
        if (!running) return nullptr;
        int truth = PyObject_IsTrue(running.get());
        if (truth < 0) return nullptr;
        if (truth) {
            PyErr_SetString(binding::state().TamselRunningException.get(),
                            "Application parameters cannot be changed while the master is running");
            return nullptr;
        }
    }
    if (mapping::dynamic_item_set(&self_parameter(self)->item, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

bool parameter_set_use_by_master(PyObject* self, PyObject* master) {
    return application_parameter_bind(self_parameter(self), master) >= 0;
}

int parameter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(self_parameter(self)->dict);
    Py_VISIT(self_parameter(self)->name);
    Py_VISIT(self_parameter(self)->used_by_master);
    return mapping::dynamic_item_traverse(self, visit, arg);
}

// Leaves None behind: the slots are never null while the object exists.
int parameter_clear(PyObject* self) {
    Py_CLEAR(self_parameter(self)->dict);
    Py_XSETREF(self_parameter(self)->name, Py_NewRef(Py_None));
    Py_XSETREF(self_parameter(self)->used_by_master, Py_NewRef(Py_None));
    return mapping::dynamic_item_clear(self);
}

void parameter_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        Py_CLEAR(self_parameter(self)->dict);
        Py_CLEAR(self_parameter(self)->name);
        Py_CLEAR(self_parameter(self)->used_by_master);
        mapping::dynamic_item_clear(self);
    });
}

using binding::param;

using parameter_constructor = binding::constructor<
    parameter_init, param<"name", binding::exact_str>, param<"initial_value", binding::any_object>,
    param<"n_bytes", binding::int_or_none, "None">, param<"data_type", binding::any_object, "None">>;

using parameter_methods = binding::methods<
    binding::method<"set", "Set value of the item", parameter_set, param<"value", binding::any_object>>,
    binding::method<"_set_use_by_master",
                    "Set the master that uses this application parameter. Can only be set once, and cannot be changed "
                    "after that.",
                    parameter_set_use_by_master, param<"master", binding::any_object>>>;

using parameter_fields = binding::fields<
    binding::instance_dict<&ApplicationParameterObject::dict>,
    binding::readonly_member<"_ApplicationParameter__used_by_master", &ApplicationParameterObject::used_by_master>,
    binding::field<"name", &ApplicationParameterObject::name, binding::any_object, "Name of the parameter">>;

PyType_Slot parameter_slots[] = {
    {Py_tp_doc, const_cast<char*>(parameter_constructor::doc<"ApplicationParameter", "Application Parameter\n\n"
                                  "Parameters that the master sets to the Slave during the state Parameter">.data())},
    {Py_tp_new, reinterpret_cast<void*>(parameter_new)},
    {Py_tp_init, reinterpret_cast<void*>(parameter_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parameter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(parameter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(parameter_clear)},
    {Py_tp_methods, parameter_methods::table},
    {Py_tp_members, parameter_fields::members},
    {Py_tp_getset, parameter_fields::getset},
    {0, nullptr},
};

PyType_Spec parameter_spec = {
    "tamsel.tamsel.ApplicationParameter",
    sizeof(ApplicationParameterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    parameter_slots,
};

}  // namespace

int application_parameter_bind(ApplicationParameterObject* self, PyObject* master) {
    if (self->used_by_master != Py_None) {
        PyErr_SetString(PyExc_PermissionError, "Application parameter already used by a master");
        return -1;
    }
    binding::assign(self->used_by_master, master);
    return 0;
}

bool add_application_parameter_class(PyObject* module) {
    binding::ModuleState& st = binding::state();
    return binding::add_type(module, &parameter_spec, st.DynamicMappableItem.get(), st.ApplicationParameter);
}

}  // namespace tamsel::master

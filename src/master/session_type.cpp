// Session: the 16-bit values of one end of the connection, each a DynamicMappableItem.
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "data/data_type_object.hpp"
#include "master/node_object.hpp"
#include "master/node_slots.hpp"
#include "master/node_types.hpp"

#include <array>
#include <structmember.h>

namespace tamsel::master {

using binding::Ref;

namespace {

// The seven values in the order they are created.
constexpr std::array<PyObject * SessionObject::*, 7> session_values = {
    &SessionObject::slave_address,
    &SessionObject::session_id,
    &SessionObject::error_id,
    &SessionObject::connection_id,
    &SessionObject::comm_parameter_size_bytes,
    &SessionObject::watchdog_ms,
    &SessionObject::app_parameter_size_bytes,
};

PyObject* session_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    for (auto field : session_values) as_session(self)->*field = Py_NewRef(Py_None);
    return self;
}

int session_init(PyObject* self, std::uint16_t slave_address, std::uint16_t connection_id, std::uint16_t watchdog_ms) {
    const std::array<std::uint16_t, 7> initial = {slave_address, 0, 0, connection_id, 0, watchdog_ms, 0};

    PyObject* uint16 = data::data_type_member(data::DataType::UINT16);
    std::array<Ref, 7> items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref value = Ref::steal(PyLong_FromLong(initial[i]));
        if (!value) return -1;
        items[i] = Ref::steal(mapping::new_dynamic_item(value.get(), uint16));
        if (!items[i]) return -1;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject*& slot = as_session(self)->*session_values[i];
        Py_SETREF(slot, items[i].release());
    }
    return 0;
}

int session_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_session(self)->dict);
    for (auto field : session_values) Py_VISIT(as_session(self)->*field);
    return 0;
}

// Leaves None behind: the slots are never null while the object exists.
int session_clear(PyObject* self) {
    Py_CLEAR(as_session(self)->dict);
    for (auto field : session_values) Py_XSETREF(as_session(self)->*field, Py_NewRef(Py_None));
    return 0;
}

void session_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        Py_CLEAR(as_session(self)->dict);
        for (auto field : session_values) Py_CLEAR(as_session(self)->*field);
    });
}

// `error`: the FSOEError of error_id's value; set from a member of FSOEError or BaseError.
PyObject* error_get(PyObject* self, void*) {
    Ref value = Ref::steal(PyObject_GetAttr(as_session(self)->error_id, binding::names().value));
    if (!value) return nullptr;
    return PyObject_CallOneArg(binding::state().FSOEError.get(), value.get());
}

int error_set(PyObject* self, PyObject* error, void* closure) {
    if (error == nullptr) return refuse_delete(closure);
    binding::ModuleState& st = binding::state();
    if (!PyObject_TypeCheck(error, binding::as_type(st.FSOEError)) &&
        !PyObject_TypeCheck(error, binding::as_type(st.BaseError))) {
        binding::raise_wrong_type(error, "FSOEError", "error");
        return -1;
    }
    Ref value = Ref::steal(PyObject_GetAttr(error, binding::names().value));
    if (!value) return -1;
    return PyObject_SetAttr(as_session(self)->error_id, binding::names().value, value.get());
}

using session_constructor =
    binding::constructor<session_init, binding::param<"slave_address", truncated_u16>,
                         binding::param<"connection_id", truncated_u16>, binding::param<"watchdog_ms", truncated_u16>>;

using session_methods = binding::methods<>;

PyMemberDef session_members[] = {
    TAMSEL_DICT_MEMBER(SessionObject, dict),
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef session_getsets[] = {
    TAMSEL_DICT_GETSET,
    TAMSEL_OBJECT_SLOT(SessionObject, slave_address, "slave_address", "FSoE address of the slave"),
    TAMSEL_OBJECT_SLOT(SessionObject, session_id, "session_id", "Session id of this node"),
    TAMSEL_OBJECT_SLOT(SessionObject, error_id, "error_id", "FSoE error code of a Reset frame"),
    TAMSEL_OBJECT_SLOT(SessionObject, connection_id, "connection_id", "FSoE connection id"),
    TAMSEL_OBJECT_SLOT(SessionObject, comm_parameter_size_bytes, "comm_parameter_size_bytes",
                       "Length in bytes of the communication parameters"),
    TAMSEL_OBJECT_SLOT(SessionObject, watchdog_ms, "watchdog_ms", "Watchdog time in milliseconds"),
    TAMSEL_OBJECT_SLOT(SessionObject, app_parameter_size_bytes, "app_parameter_size_bytes",
                       "Length in bytes of the application parameters"),
    {"error", error_get, error_set, "FSoE error code as an FSOEError", const_cast<char*>("error")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(session_constructor::doc<"Session", "FSoE Session structure\n\nHolds the current known data of the FSoE connection">.data())},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_init, reinterpret_cast<void*>(session_constructor::init)},
    {Py_tp_methods, session_methods::table},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(session_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(session_clear)},
    {Py_tp_members, session_members},
    {Py_tp_getset, session_getsets},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "tamsel.tamsel.Session", sizeof(SessionObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    session_slots,
};

}  // namespace

bool add_session_class(PyObject* module) {
    return binding::add_type(module, &session_spec, nullptr, binding::state().Session);
}

}  // namespace tamsel::master

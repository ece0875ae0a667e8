// Session: the 16-bit values of one end of the connection, each a DynamicMappableItem.
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "data/data_type_object.hpp"
#include "nodes/node_object.hpp"
#include "nodes/node_slots.hpp"
#include "nodes/node_types.hpp"

#include <array>

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
    if (error == nullptr) return binding::refuse_delete(static_cast<const char*>(closure));
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

using binding::any_object;
using binding::field;

using session_fields =
    binding::fields<binding::instance_dict<&SessionObject::dict>,
                    field<"slave_address", &SessionObject::slave_address, any_object, "FSoE address of the slave">,
                    field<"session_id", &SessionObject::session_id, any_object, "Session id of this node">,
                    field<"error_id", &SessionObject::error_id, any_object, "FSoE error code of a Reset frame">,
                    field<"connection_id", &SessionObject::connection_id, any_object, "FSoE connection id">,
                    field<"comm_parameter_size_bytes", &SessionObject::comm_parameter_size_bytes, any_object,
                          "Length in bytes of the communication parameters">,
                    field<"watchdog_ms", &SessionObject::watchdog_ms, any_object, "Watchdog time in milliseconds">,
                    field<"app_parameter_size_bytes", &SessionObject::app_parameter_size_bytes, any_object,
                          "Length in bytes of the application parameters">,
                    binding::property<"error", error_get, error_set, "FSoE error code as an FSOEError">>;

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(session_constructor::doc<"Session", "FSoE Session structure\n\nHolds the current known data of the FSoE connection">.data())},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_init, reinterpret_cast<void*>(session_constructor::init)},
    {Py_tp_methods, session_methods::table},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(session_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(session_clear)},
    {Py_tp_members, session_fields::members},
    {Py_tp_getset, session_fields::getset},
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

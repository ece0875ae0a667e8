// Node: one end of the connection with its frame, session, maps and application parameters.
#include "binding/fields.hpp"
#include "binding/instance.hpp"
#include "binding/lifecycle.hpp"
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "nodes/node_object.hpp"
#include "nodes/node_slots.hpp"
#include "nodes/node_types.hpp"

#include <array>

namespace tamsel::master {

using binding::Ref;

namespace {

constexpr std::array<PyObject * NodeObject::*, 5> node_objects = {
    &NodeObject::frame,
    &NodeObject::session,
    &NodeObject::dictionary_map,
    &NodeObject::dynamic_map,
    &NodeObject::application_parameters,
};

using node_native = binding::native<&NodeObject::last_crc0_sent>;

PyObject* node_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = node_native::allocate(type);
    if (self == nullptr) return nullptr;
    NodeObject* node = as_node(self);
    for (auto field : node_objects) node->*field = Py_NewRef(Py_None);
    node->dictionary_map_is_editable = true;
    return self;
}

Ref new_map(PyObject* dictionary, PyObject* item_types_accepted) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "dictionary", dictionary) < 0 ||
        PyDict_SetItemString(kwargs.get(), "item_types_accepted", item_types_accepted) < 0)
        return Ref();
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return Ref();
    return Ref::steal(PyObject_Call(binding::state().DictionaryMap.get(), no_args.get(), kwargs.get()));
}

int node_init(PyObject* self, std::uint16_t slave_address, std::uint16_t connection_id, std::uint16_t watchdog_ms,
              PyObject* parameters, PyObject* dictionary, PyObject* item_types_accepted, bool editable) {
    binding::ModuleState& st = binding::state();
    const std::array<std::uint16_t, 3> numbers{slave_address, connection_id, watchdog_ms};

    Ref frame = Ref::steal(PyObject_CallNoArgs(st.FSOEFrame.get()));
    if (!frame) return -1;
    Ref session = Ref::steal(PyObject_CallFunction(st.Session.get(), "HHH", numbers[0], numbers[1], numbers[2]));
    if (!session) return -1;
    Ref map = new_map(dictionary, item_types_accepted);
    if (!map) return -1;
    Ref dynamic_map = Ref::steal(mapping::new_dynamic_map());
    if (!dynamic_map) return -1;

    NodeObject* node = as_node(self);
    Py_SETREF(node->frame, frame.release());
    Py_SETREF(node->session, session.release());
    Py_SETREF(node->dictionary_map, map.release());
    Py_SETREF(node->dynamic_map, dynamic_map.release());
    binding::assign(node->application_parameters, parameters);
    node->last_crc0_sent.reset();
    node->dictionary_map_is_editable = editable;
    if (!editable) {
        Ref locked = Ref::steal(PyObject_CallMethodNoArgs(node->dictionary_map, binding::names()._lock));
        if (!locked) return -1;
    }
    return 0;
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_node(self)->dict);
    for (auto field : node_objects) Py_VISIT(as_node(self)->*field);
    return 0;
}

// Leaves None behind: the slots are never null while the object exists.
int node_clear(PyObject* self) {
    Py_CLEAR(as_node(self)->dict);
    for (auto field : node_objects) Py_XSETREF(as_node(self)->*field, Py_NewRef(Py_None));
    return 0;
}

void node_dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        NodeObject* node = as_node(self);
        Py_CLEAR(node->dict);
        for (auto field : node_objects) Py_CLEAR(node->*field);
        node_native::destroy(self);
    });
}

using binding::param;

using node_constructor =
    binding::constructor<node_init, param<"slave_address", truncated_u16>, param<"connection_id", truncated_u16>,
                         param<"watchdog_ms", truncated_u16>, param<"application_parameters", binding::exact_list>,
                         param<"dictionary", binding::instance_of<&binding::ModuleState::Dictionary>>,
                         param<"item_types_accepted", binding::exact<&PySet_Type>>,
                         param<"dictionary_map_is_editable", binding::truth, "True">>;

using node_methods =
    binding::methods<binding::noargs_method<"start", "Procedures required before the FSoE is initialized", node_start>,
                     binding::noargs_method<"stop", "Procedures required when the FSoE is stopped", node_stop>>;

using binding::any_object;
using binding::field;

using node_fields = binding::fields<
    binding::instance_dict<&NodeObject::dict>, field<"frame", &NodeObject::frame, any_object, "FSoE frame of the node">,
    field<"session", &NodeObject::session, any_object, "Session data of the node">,
    field<"dictionary_map", &NodeObject::dictionary_map, any_object, "Map of the process data">,
    field<"_dynamic_map", &NodeObject::dynamic_map, any_object, "Map of the initialization data">,
    field<"application_parameters", &NodeObject::application_parameters, any_object, "Application parameters">,
    // None, or a CRC word (0..65535).
    field<"_last_crc0_sent", &NodeObject::last_crc0_sent, binding::optional<binding::u16>,
          "CRC_0 of the last frame of this node">,
    field<"_Node__dictionary_map_is_editable", &NodeObject::dictionary_map_is_editable, binding::truth>>;

PyType_Slot node_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         node_constructor::doc<"Node", "FSoE Node\n\nHolds information relating to one of the FSoE Nodes">.data())},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_init, reinterpret_cast<void*>(node_constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_methods, node_methods::table},
    {Py_tp_members, node_fields::members},
    {Py_tp_getset, node_fields::getset},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "tamsel.tamsel.Node", sizeof(NodeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    node_slots,
};

}  // namespace

int node_start(NodeObject* self) {
    // The node is held: the host code called below may drop every other reference to it.
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
    if (self->dictionary_map_is_editable) {
        Ref locked = Ref::steal(PyObject_CallMethodNoArgs(self->dictionary_map, binding::names()._lock));
        if (!locked) return -1;
    }
    Ref size = Ref::steal(PyObject_GetAttr(self->dictionary_map, binding::names().safety_bytes));
    if (!size) return -1;
    return PyObject_SetAttr(self->frame, binding::names().safe_data_size_bytes, size.get());
}

int node_stop(NodeObject* self) {
    if (!self->dictionary_map_is_editable) return 0;
    Ref unlocked = Ref::steal(PyObject_CallMethodOneArg(self->dictionary_map, binding::names()._lock, Py_False));
    return unlocked ? 0 : -1;
}

bool add_node_class(PyObject* module) { return binding::add_type(module, &node_spec, nullptr, binding::state().Node); }

}  // namespace tamsel::master

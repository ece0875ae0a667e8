#pragma once
// C++ access to Session, Node and ApplicationParameter instances, for the states and the handler.
//
// Every specified field is a slot of these structs; the host sees them as attributes under
// their published names. Object slots are owned references that are never null once the
// object exists (they start as None and the attributes refuse deletion), but the host may
// replace them with objects of any type: check the type (mapping::is_dynamic_item, ...)
// before using a slot's C++ layout, and fall back to attribute access otherwise.
#include "binding/module_state.hpp"
#include "mapping/dynamic_map_object.hpp"

#include <cstdint>
#include <optional>

namespace tamsel::master {

// Session: seven DynamicMappableItem of DataType.UINT16, in this order.
struct SessionObject {
    PyObject_HEAD PyObject* dict;  // instance dictionary of the plain class
    PyObject* slave_address;
    PyObject* session_id;
    PyObject* error_id;
    PyObject* connection_id;
    PyObject* comm_parameter_size_bytes;
    PyObject* watchdog_ms;
    PyObject* app_parameter_size_bytes;
};

struct NodeObject {
    PyObject_HEAD PyObject* dict;
    PyObject* frame;                              // FSOEFrame
    PyObject* session;                            // Session
    PyObject* dictionary_map;                     // DictionaryMap
    PyObject* dynamic_map;                        // FSOEDynamicMap, `_dynamic_map`
    PyObject* application_parameters;             // list
    std::optional<std::uint16_t> last_crc0_sent;  // `_last_crc0_sent`: an int 0..65535 or None
    bool dictionary_map_is_editable;              // `_Node__dictionary_map_is_editable`
};

// ApplicationParameter extends the DynamicMappableItem layout.
struct ApplicationParameterObject {
    mapping::DynamicItemObject item;
    PyObject* dict;
    PyObject* name;            // str (None until constructed)
    PyObject* used_by_master;  // `_ApplicationParameter__used_by_master`: the handler, or None
};

inline PyTypeObject* session_type() { return binding::as_type(binding::state().Session); }
inline PyTypeObject* node_type() { return binding::as_type(binding::state().Node); }
inline PyTypeObject* application_parameter_type() { return binding::as_type(binding::state().ApplicationParameter); }

inline SessionObject* as_session(PyObject* obj) { return reinterpret_cast<SessionObject*>(obj); }
inline NodeObject* as_node(PyObject* obj) { return reinterpret_cast<NodeObject*>(obj); }
inline ApplicationParameterObject* as_application_parameter(PyObject* obj) {
    return reinterpret_cast<ApplicationParameterObject*>(obj);
}

// The node's operations as the host calls them (`start()`, `stop()`): 0, or -1 with an
// exception set.
int node_start(NodeObject* self);
int node_stop(NodeObject* self);

// `_set_use_by_master(master)`: PermissionError when already bound.
int application_parameter_bind(ApplicationParameterObject* self, PyObject* master);

}  // namespace tamsel::master

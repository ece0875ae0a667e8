#pragma once
// Attribute access for the ports: the published names of handlers, nodes, sessions, frames
// and maps, read through the module's own slots where the object is exactly the module's
// class (its slot attributes are data descriptors, so nothing can shadow them).
#include "binding/host_calls.hpp"
#include "core/protocol.hpp"

#include <cstdint>
#include <initializer_list>

namespace tamsel::ports {

using binding::Ref;

// obj.name
Ref attr(PyObject* obj, PyObject* name);
// obj.n1.n2...; null with an exception set when a step fails.
Ref path(PyObject* obj, std::initializer_list<PyObject*> steps);

PyObject* side_name(core::Side side);                    // "master" or "slave" (borrowed)
PyObject* session_field_name(core::SessionField field);  // e.g. "connection_id" (borrowed)
PyObject* flag_name(core::Flag flag);                    // e.g. "_second_session_frame_sent"

// The FSOECommand member of a command (new reference), or null with an exception set.
Ref command_member(core::Command command);

// item.value = value, natively for a DynamicMappableItem.
bool set_value(PyObject* item, long value);
bool set_value(PyObject* item, PyObject* value);
// The dynamic map's clear() and add(item), natively for an FSOEDynamicMap.
bool map_clear(PyObject* map);
bool map_add(PyObject* map, PyObject* item);

}  // namespace tamsel::ports

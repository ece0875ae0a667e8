#pragma once
// Type definitions of the dynamic map, for their registration and for subclasses built in C++.
#include "binding/ref.hpp"

namespace tamsel::mapping {

bool add_dynamic_item_type(PyObject* module);
bool add_dynamic_map_type(PyObject* module);

// Garbage-collector slots of DynamicMappableItem; a C++ subclass calls them for the base part.
int dynamic_item_traverse(PyObject* self, visitproc visit, void* arg);
int dynamic_item_clear(PyObject* self);
void dynamic_item_dealloc(PyObject* self);

}  // namespace tamsel::mapping

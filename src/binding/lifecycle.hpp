#pragma once
// Shared end of life for the module's garbage-collected heap types.
#include "binding/ref.hpp"

namespace tamsel::binding {

// tp_dealloc body of a GC heap type: untracks `self`, lets `release` drop what the object
// holds (references, C++ members), frees the memory and drops the reference the instance
// held on its type.
template <typename Release>
void gc_dealloc(PyObject* self, Release&& release) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace tamsel::binding

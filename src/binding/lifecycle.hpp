#pragma once
// Shared end of life for the module's garbage-collected heap types.
#include "binding/ref.hpp"

#include <type_traits>

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

// The references an object holds, named once as a member list: `references<&T::a, &T::b>`
// gives tp_traverse (the type and each member) and tp_clear (each member dropped). A member
// is a `PyObject*` or a `Ref`.
template <auto... Members>
struct references {
    template <typename Object, typename Member>
    static PyObject* object(PyObject* self, Member Object::*member) {
        auto& slot = reinterpret_cast<Object*>(self)->*member;
        if constexpr (std::is_same_v<Member, Ref>) return slot.get();
        else return slot;
    }
    template <typename Object, typename Member>
    static void drop(PyObject* self, Member Object::*member) {
        auto& slot = reinterpret_cast<Object*>(self)->*member;
        if constexpr (std::is_same_v<Member, Ref>) slot.reset();
        else Py_CLEAR(slot);
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        for (PyObject* held : {object(self, Members)...}) Py_VISIT(held);
        return 0;
    }
    static int clear(PyObject* self) {
        (drop(self, Members), ...);
        return 0;
    }
};

}  // namespace tamsel::binding

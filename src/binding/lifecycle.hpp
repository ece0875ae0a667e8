#pragma once
// Shared start and end of life for the module's garbage-collected heap types.
#include "binding/ref.hpp"

#include <cstddef>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

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

// The C++ members of an object, named once as a member list: `native<&T::a, &T::b>` gives the
// tp_new start (allocation, then each member value-initialised in place) and the matching
// destruction, in reverse order, for the tp_dealloc release. When a member's constructor
// throws, the members built so far are destroyed, the memory is freed and `allocate` returns
// null with MemoryError set.
template <auto... Members>
struct native {
    template <typename Object, typename Member>
    static Member& slot(PyObject* self, Member Object::* member) {
        return reinterpret_cast<Object*>(self)->*member;
    }

    static PyObject* allocate(PyTypeObject* type) noexcept {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        std::size_t built = 0;
        try {
            ((std::construct_at(&slot(self, Members)), ++built), ...);
        } catch (...) {
            gc_dealloc(self, [built](PyObject* self) { destroy_first(self, built); });
            PyErr_NoMemory();
            return nullptr;
        }
        return self;
    }
    static void destroy(PyObject* self) noexcept { destroy_first(self, sizeof...(Members)); }

private:
    // The first `count` members, from the last of them back.
    static void destroy_first(PyObject* self, std::size_t count) noexcept {
        destroy_first(self, count, std::make_index_sequence<sizeof...(Members)>{});
    }
    template <std::size_t... Index>
    static void destroy_first(PyObject* self, std::size_t count, std::index_sequence<Index...>) noexcept {
        constexpr std::tuple members{Members...};
        constexpr std::size_t last = sizeof...(Members) - 1;
        ((last - Index < count ? std::destroy_at(&slot(self, std::get<last - Index>(members))) : void()), ...);
    }
};

// The references an object holds, named once as a member list: `references<&T::a, &T::b>`
// gives tp_traverse (the type and each member) and tp_clear (each member dropped). A member
// is a `PyObject*` or a `Ref`.
template <auto... Members>
struct references {
    template <typename Object, typename Member>
    static PyObject* object(PyObject* self, Member Object::* member) {
        auto& slot = reinterpret_cast<Object*>(self)->*member;
        if constexpr (std::is_same_v<Member, Ref>) return slot.get();
        else return slot;
    }
    template <typename Object, typename Member>
    static void drop(PyObject* self, Member Object::* member) {
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

#pragma once
// Shared pieces of the Session, Node and ApplicationParameter classes: object slots exposed as
// attributes, and the 16-bit number conversion of their constructors.
#include "binding/convert.hpp"
#include "binding/args.hpp"
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::master {

// Getter and setter of an object slot: any object may be stored, deleting is refused so the
// slot is never null. The getset's closure is the attribute's name.
template <class Object, PyObject* Object::* Field>
PyObject* slot_get(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Object*>(self)->*Field);
}

inline int refuse_delete(void* closure) { return binding::refuse_delete(static_cast<const char*>(closure)); }

template <class Object, PyObject* Object::* Field>
int slot_set(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_delete(closure);
    binding::assign(reinterpret_cast<Object*>(self)->*Field, value);
    return 0;
}

// An object slot as a getset entry.
#define TAMSEL_OBJECT_SLOT(Object, field, name, doc) \
    {name, slot_get<Object, &Object::field>, slot_set<Object, &Object::field>, doc, const_cast<char*>(name)}

// The parameter conversion of an unsigned 16-bit number; a float is first truncated toward zero.
struct truncated_u16 {
    using type = std::uint16_t;
    static bool convert(PyObject* obj, const char*, type& out) {
        if (PyFloat_Check(obj)) {
            binding::Ref truncated = binding::Ref::steal(PyNumber_Long(obj));
            return truncated && binding::to_unsigned(truncated.get(), out);
        }
        return binding::to_unsigned(obj, out);
    }
};

}  // namespace tamsel::master

#pragma once
// The host side of the data types: members of the `DataType` enumeration and the conversions
// between host values and their integer form. The enumeration's methods, the items, the dynamic
// map and the handler all go through these functions.
#include "binding/ref.hpp"
#include "data/data_type.hpp"
#include "data/scalar.hpp"

#include <optional>

namespace tamsel::data {

// The member of the host enumeration for `type` (borrowed; lives as long as the module).
PyObject* data_type_member(DataType type);

// The data type `obj` is a member of the host enumeration for; nothing for any other object.
std::optional<DataType> data_type_of(PyObject* obj);

// A host bool, int or float as a Scalar (exact types only, integers within 64 bits);
// nothing for any other object. Never raises.
std::optional<Scalar> scalar_of(PyObject* obj);

// A new host object for a Scalar: bool, int or float by its kind.
inline PyObject* scalar_to_object(const Scalar& value) {
    switch (value.kind) {
        case Scalar::Kind::boolean: return Py_NewRef(value.integer ? Py_True : Py_False);
        case Scalar::Kind::integer: return PyLong_FromLongLong(value.integer);
        case Scalar::Kind::real: return PyFloat_FromDouble(value.real);
    }
    return nullptr;
}

// `get_initial_value()`: False, 0.0 or 0 (new reference).
PyObject* initial_value(DataType type);

// `serialize_value(value)`: the integer form as a new host int, or null with the exception
// of the type set (ValueError, "Invalid value for BOOL type", "Expected int, got ...", and for
// FLOAT the errors of the host's struct packing with "<f").
PyObject* serialize_value(DataType type, PyObject* value);

// The same, as a number: when the result is a host int it is stored in `out` truncated to its
// low 64 bits in two's complement (only exotic values give anything beyond 32 bits). Returns
// false with an exception set.
bool serialize_integer_form(DataType type, PyObject* value, uint64_t& out);

// The same for a value already read as a Scalar (`value` is its host object, named in errors).
bool serialize_scalar(DataType type, const Scalar& scalar, PyObject* value, uint64_t& out);

// A host int that is non-negative and fits in `size` bytes (1 to 8), read into `out`; false
// with OverflowError ("can't convert negative int to unsigned", "int too big to convert")
// for any other.
bool unsigned_within(PyObject* value, size_t size, uint64_t& out);

// `unserialize_value(value)` for a host int (the published methods check exactness first; any
// other object is refused here too): new reference or null (OverflowError for FLOAT outside
// 0..2^32-1).
PyObject* unserialize_value(DataType type, PyObject* value);

// The same from a number, without the intermediate host int.
PyObject* unserialize_integer_form(DataType type, uint64_t raw);

// The operations on any data type object: a member takes the native path above, anything
// else has its method called (serialize results checked with "Expected int, got ...").
PyObject* serialize_value(PyObject* data_type, PyObject* value);
PyObject* unserialize_value(PyObject* data_type, PyObject* value);

}  // namespace tamsel::data

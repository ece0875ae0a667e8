// Conversions between host values and the integer form, shared by the DataType methods, the
// items, the maps and the dynamic map.
#include "data/data_type_object.hpp"

#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "binding/host_calls.hpp"

#include <tuple>
#include <type_traits>
#include <utility>

namespace tamsel::data {

using binding::Ref;

static_assert(std::extent_v<decltype(binding::ModuleState::data_type_members)> == data_type_count);

void set_data_type_members(PyObject* const (&from)[data_type_count]) {
    for (int i = 0; i < data_type_count; ++i) binding::state().data_type_members[i] = Ref::borrow(from[i]);
}

PyObject* data_type_member(DataType type) {
    return binding::state().data_type_members[data_type_number(type) - 1].get();
}

std::optional<DataType> data_type_of(PyObject* obj) {
    const Ref* members = binding::state().data_type_members;
    for (int i = 0; i < data_type_count; ++i)
        if (members[i].get() == obj) return all_data_types[i];
    return std::nullopt;
}

std::optional<Scalar> scalar_of(PyObject* obj) {
    if (PyBool_Check(obj)) return Scalar::from_bool(obj == Py_True);
    if (PyLong_CheckExact(obj)) {
        auto* number = reinterpret_cast<PyLongObject*>(obj);
        if (PyUnstable_Long_IsCompact(number)) return Scalar::from_integer(PyUnstable_Long_CompactValue(number));
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) return std::nullopt;
        return Scalar::from_integer(value);
    }
    if (PyFloat_CheckExact(obj)) return Scalar::from_real(PyFloat_AS_DOUBLE(obj));
    return std::nullopt;
}

PyObject* initial_value(DataType type) {
    switch (type) {
        case DataType::BOOL: return Py_NewRef(Py_False);
        case DataType::FLOAT: return PyFloat_FromDouble(0.0);
        default: return PyLong_FromLong(0);
    }
}

namespace {

// Host comparison `value <op> number`.
int compare_with(PyObject* value, long long number, int op) {
    Ref other = Ref::steal(PyLong_FromLongLong(number));
    return other ? PyObject_RichCompareBool(value, other.get(), op) : -1;
}

void raise_bool_error() { PyErr_SetString(PyExc_ValueError, "Invalid value for BOOL type"); }

void raise_struct_error(const char* message) {
    Ref error = Ref::steal(PyObject_GetAttrString(binding::state().struct_module.get(), "error"));
    if (error) PyErr_SetString(error.get(), message);
}

// A finite value too large for single precision: the host's struct packing reports it as
// OverflowError for floats and as its own error for ints.
void raise_float_overflow(PyObject* value) {
    if (PyLong_Check(value)) raise_struct_error("int too large to convert");
    else PyErr_SetString(PyExc_OverflowError, "float too large to pack with f format");
}

// Packing a FLOAT the way the host's struct module does for the little-endian "<f" format.
bool float_from_object(PyObject* value, uint32_t& out) {
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        raise_struct_error("required argument is not a float");
        return false;
    }
    SerializeResult result = serialize(DataType::FLOAT, Scalar::from_real(number));
    if (result.status != SerializeStatus::ok) {
        raise_float_overflow(value);
        return false;
    }
    out = result.raw;
    return true;
}

// The host-object path of serialize_value for values that are no plain bool, int or float:
// every comparison and addition is the host's. New reference (an int, or None from an exotic
// addition) or null.
PyObject* serialize_object(DataType type, PyObject* value) {
    if (type == DataType::BOOL) {
        for (auto [truth, number, raw] : {std::tuple{Py_True, 1, 1}, std::tuple{Py_False, 0, 0}}) {
            int equal = PyObject_RichCompareBool(value, truth, Py_EQ);
            if (equal == 0) equal = compare_with(value, number, Py_EQ);
            if (equal < 0) return nullptr;
            if (equal) return PyLong_FromLong(raw);
        }
        raise_bool_error();
        return nullptr;
    }
    if (type == DataType::FLOAT) {
        uint32_t raw = 0;
        return float_from_object(value, raw) ? PyLong_FromUnsignedLong(raw) : nullptr;
    }
    for (auto [limit, op] : {std::pair{min_value(type), Py_LT}, std::pair{max_value(type), Py_GT}}) {
        int outside = compare_with(value, limit, op);
        if (outside < 0) return nullptr;
        if (outside) {
            PyErr_SetNone(PyExc_ValueError);
            return nullptr;
        }
    }
    Ref result = Ref::borrow(value);
    if (is_signed(type)) {
        int negative = compare_with(value, 0, Py_LT);
        if (negative < 0) return nullptr;
        if (negative) {
            Ref modulus = Ref::steal(PyLong_FromLongLong(int64_t{1} << bits(type)));
            if (!modulus) return nullptr;
            result = Ref::steal(PyNumber_Add(value, modulus.get()));
            if (!result) return nullptr;
        }
    }
    if (!binding::check_int_result(result.get())) return nullptr;
    return result.release();
}

// Raises the error of a failed native serialization of `value`.
void raise_serialize_error(SerializeStatus status, PyObject* value) {
    switch (status) {
        case SerializeStatus::out_of_range: PyErr_SetNone(PyExc_ValueError); break;
        case SerializeStatus::invalid_bool: raise_bool_error(); break;
        case SerializeStatus::float_overflow: raise_float_overflow(value); break;
        default: binding::check_int_result(value); break;
    }
}

}  // namespace

PyObject* serialize_value(DataType type, PyObject* value) {
    if (std::optional<Scalar> scalar = scalar_of(value)) {
        SerializeResult result = serialize(type, *scalar);
        if (result.status == SerializeStatus::ok) return PyLong_FromUnsignedLong(result.raw);
        raise_serialize_error(result.status, value);
        return nullptr;
    }
    return serialize_object(type, value);
}

bool serialize_scalar(DataType type, const Scalar& scalar, PyObject* value, uint64_t& out) {
    SerializeResult result = serialize(type, scalar);
    if (result.status != SerializeStatus::ok) {
        raise_serialize_error(result.status, value);
        return false;
    }
    out = result.raw;
    return true;
}

bool serialize_integer_form(DataType type, PyObject* value, uint64_t& out) {
    if (std::optional<Scalar> scalar = scalar_of(value)) return serialize_scalar(type, *scalar, value, out);
    Ref result = Ref::steal(serialize_object(type, value));
    if (!result) return false;
    if (!PyLong_Check(result.get())) return binding::raise_expected("int", result.get());
    out = PyLong_AsUnsignedLongLongMask(result.get());
    return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

PyObject* unserialize_integer_form(DataType type, uint64_t raw) {
    if (std::optional<Scalar> value = unserialize(type, raw)) return scalar_to_object(*value);
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(raw));
    return number ? unserialize_value(type, number.get()) : nullptr;
}

bool unsigned_within(PyObject* value, size_t size, uint64_t& out) {
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (size < sizeof number && number >> (8 * size) != 0) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return false;
    }
    out = number;
    return true;
}

PyObject* unserialize_value(DataType type, PyObject* value) {
    if (!PyLong_Check(value)) {
        binding::raise_wrong_type(value, "int", "value");
        return nullptr;
    }
    if (type == DataType::BOOL) {
        int truth = PyObject_IsTrue(value);
        return truth < 0 ? nullptr : PyBool_FromLong(truth);
    }
    if (type == DataType::FLOAT) {
        uint64_t raw = 0;
        if (!unsigned_within(value, 4, raw)) return nullptr;
        return PyFloat_FromDouble(widen_float(unserialize_float(static_cast<uint32_t>(raw))));
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) return nullptr;
    if (overflow == 0 && number > -unserialize_integer_limit && number < unserialize_integer_limit)
        return PyLong_FromLongLong(unserialize_integer(type, number));
    // Beyond 62 bits: the same rule on the host's unbounded integers.
    if (!is_signed(type)) return Py_NewRef(value);
    Ref shift = Ref::steal(PyLong_FromLong(bits(type) - 1));
    Ref top = shift ? Ref::steal(PyNumber_Rshift(value, shift.get())) : Ref();
    if (!top) return nullptr;
    if ((PyLong_AsUnsignedLongLongMask(top.get()) & 1) == 0) return Py_NewRef(value);
    Ref modulus = Ref::steal(PyLong_FromLongLong(int64_t{1} << bits(type)));
    return modulus ? PyNumber_Subtract(value, modulus.get()) : nullptr;
}

PyObject* serialize_value(PyObject* data_type, PyObject* value) {
    if (std::optional<DataType> type = data_type_of(data_type)) return serialize_value(*type, value);
    Ref result = Ref::steal(py::call_method(data_type, "serialize_value", value));
    if (!result || !binding::check_int_result(result.get())) return nullptr;
    return result.release();
}

PyObject* unserialize_value(PyObject* data_type, PyObject* value) {
    if (std::optional<DataType> type = data_type_of(data_type)) return unserialize_value(*type, value);
    return py::call_method(data_type, "unserialize_value", value);
}

}  // namespace tamsel::data

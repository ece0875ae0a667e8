#pragma once
// The conversions a declared parameter names (binding/method.hpp). A conversion is a type
// with `type` (what the implementation receives) and
// `static bool convert(PyObject* obj, const char* argname, type& out)`, false with the
// module's exact exception text set. Those a declared field names (binding/fields.hpp) also
// have `static PyObject* to_host(const type&)`, the new reference a getter returns.
#include "binding/args.hpp"
#include "binding/convert.hpp"

#include <cstdint>
#include <optional>
#include <type_traits>

namespace tamsel::binding {

// Any object, as given (borrowed for the call); as a field, an empty slot reads as None.
struct any_object {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char*, type& out) {
        out = obj;
        return true;
    }
    static PyObject* to_host(PyObject* value) { return Py_NewRef(value ? value : Py_None); }
};

// An object of exactly this built-in type (subclasses refused), optionally None:
// "Argument 'data' has incorrect type (expected bytes, got str)".
template <PyTypeObject* Type, bool NoneOk = false>
struct exact {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        out = obj;
        if (Py_IS_TYPE(obj, Type) || (NoneOk && obj == Py_None)) return true;
        return check_type(obj, Type, argname, true, NoneOk);
    }
};

using exact_bytes = exact<&PyBytes_Type>;
using exact_int = exact<&PyLong_Type>;
using exact_str = exact<&PyUnicode_Type>;
using exact_list = exact<&PyList_Type>;
using int_or_none = exact<&PyLong_Type, true>;
using list_or_none = exact<&PyList_Type, true>;

// The host's truth value of the object; as a field, read as True or False.
struct truth {
    using type = bool;
    static bool convert(PyObject* obj, const char*, type& out) {
        int value = PyObject_IsTrue(obj);
        out = value > 0;
        return value >= 0;
    }
    static PyObject* to_host(bool value) { return PyBool_FromLong(value); }
};

// An integer (or anything with __index__) within the range of T, with the OverflowError texts
// of binding/convert.hpp.
template <typename T>
struct unsigned_int {
    using type = T;
    static bool convert(PyObject* obj, const char*, type& out) { return to_unsigned(obj, out); }
    static PyObject* to_host(T value) { return from_unsigned(value); }
};

using u8 = unsigned_int<uint8_t>;
using u16 = unsigned_int<uint16_t>;
using u32 = unsigned_int<uint32_t>;

// A float (or anything with __float__).
struct real {
    using type = double;
    static bool convert(PyObject* obj, const char*, type& out) {
        out = PyFloat_AsDouble(obj);
        return !(out == -1.0 && PyErr_Occurred());
    }
    static PyObject* to_host(double value) { return PyFloat_FromDouble(value); }
};

// An int exactly (subclasses refused, "Argument 'value' has incorrect type (expected int, got
// str)") within the range of a C long.
struct exact_long {
    using type = long;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (!check_type(obj, &PyLong_Type, argname, true)) return false;
        out = PyLong_AsLong(obj);
        return !(out == -1 && PyErr_Occurred());
    }
    static PyObject* to_host(long value) { return PyLong_FromLong(value); }
};

// A read-only integer field of any C++ integer type.
template <typename T>
struct number {
    static_assert(std::is_integral_v<T>);
    using type = T;
    static PyObject* to_host(T value) {
        if constexpr (std::is_signed_v<T>) return PyLong_FromLongLong(value);
        else return PyLong_FromUnsignedLongLong(value);
    }
};

// None or a value of `Conversion`, as an optional.
template <typename Conversion>
struct optional {
    using type = std::optional<typename Conversion::type>;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        typename Conversion::type value{};
        if (!Conversion::convert(obj, argname, value)) return false;
        out = value;
        return true;
    }
    static PyObject* to_host(const type& value) { return value ? Conversion::to_host(*value) : Py_NewRef(Py_None); }
};

}  // namespace tamsel::binding

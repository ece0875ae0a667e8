#pragma once
// The conversions a declared parameter names (binding/method.hpp). A conversion is a type
// with `type` (what the implementation receives) and
// `static bool convert(PyObject* obj, const char* argname, type& out)`, false with the
// module's exact exception text set.
#include "binding/args.hpp"
#include "binding/convert.hpp"

#include <cstdint>

namespace tamsel::binding {

// Any object, as given (borrowed for the call).
struct any_object {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char*, type& out) {
        out = obj;
        return true;
    }
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

// The host's truth value of the object.
struct truth {
    using type = bool;
    static bool convert(PyObject* obj, const char*, type& out) {
        int value = PyObject_IsTrue(obj);
        out = value > 0;
        return value >= 0;
    }
};

// An integer (or anything with __index__) within the range of T, with the OverflowError texts
// of binding/convert.hpp.
template <typename T>
struct unsigned_int {
    using type = T;
    static bool convert(PyObject* obj, const char*, type& out) { return to_unsigned(obj, out); }
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
};

}  // namespace tamsel::binding

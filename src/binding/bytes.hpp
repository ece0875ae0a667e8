#pragma once
// Comparison of byte strings without a call into the interpreter.
#include <Python.h>

#include <cstring>

namespace tamsel::binding {

// Whether `a` is a bytes object holding exactly the bytes of `b` (a bytes object); false for a
// null or non-bytes `a`.
inline bool same_bytes(PyObject* a, PyObject* b) {
    return a && PyBytes_CheckExact(a) && PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b))) == 0;
}

}  // namespace tamsel::binding

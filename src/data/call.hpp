#pragma once
// Method calls on host objects, for the paths that honour host subclasses and look-alikes.
#include "binding/ref.hpp"

namespace tamsel::data {

// `obj.name()` or `obj.name(arg)`: new reference or null.
inline PyObject* call_method(PyObject* obj, const char* name, PyObject* arg = nullptr) {
    binding::Ref method = binding::Ref::steal(PyUnicode_InternFromString(name));
    if (!method) return nullptr;
    return arg ? PyObject_CallMethodOneArg(obj, method.get(), arg) : PyObject_CallMethodNoArgs(obj, method.get());
}

}  // namespace tamsel::data

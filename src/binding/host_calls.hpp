#pragma once
// Attribute access and method calls through the C API: the path the engine, the states and
// the dictionary take for objects the host substituted or subclassed.
#include "binding/ref.hpp"

#include <initializer_list>

namespace tamsel::py {

using binding::Ref;

inline Ref get(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

inline bool set(PyObject* obj, PyObject* name, PyObject* value) { return PyObject_SetAttr(obj, name, value) == 0; }

// Sets an attribute to a new reference (stolen, may be null after a failed conversion).
inline bool set_new(PyObject* obj, PyObject* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && set(obj, name, owned.get());
}

// obj.name(args...) with positional arguments.
inline Ref call(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    PyObject* stack[4] = {obj};
    size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...) for its effect: false with an exception set when it raised.
inline bool run(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    return call(obj, name, args).get() != nullptr;
}

// obj.name() or obj.name(arg) for a name given as C text: new reference or null.
inline PyObject* call_method(PyObject* obj, const char* name, PyObject* arg = nullptr) {
    Ref method = Ref::steal(PyUnicode_InternFromString(name));
    if (!method) return nullptr;
    return arg ? PyObject_CallMethodOneArg(obj, method.get(), arg) : PyObject_CallMethodNoArgs(obj, method.get());
}

// obj.name(k1=v1, k2=v2) with keyword arguments only.
inline Ref call_kw2(PyObject* obj, PyObject* name, PyObject* k1, PyObject* v1, PyObject* k2, PyObject* v2) {
    Ref kwnames = Ref::steal(PyTuple_Pack(2, k1, k2));
    if (!kwnames) return {};
    PyObject* stack[3] = {obj, v1, v2};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// obj.a.b...: a chain of attribute reads, each through `read` (py::get, or a reader that
// knows the module's own slots); null with an exception set when a step fails.
template <typename Read = Ref (*)(PyObject*, PyObject*)>
Ref path(PyObject* obj, std::initializer_list<PyObject*> chain, Read read = get) {
    Ref current = Ref::borrow(obj);
    for (PyObject* name : chain) {
        current = read(current.get(), name);
        if (!current) return {};
    }
    return current;
}

// Truth value of a call result; -1 on error.
inline int truth(const Ref& result) { return result ? PyObject_IsTrue(result.get()) : -1; }

}  // namespace tamsel::py

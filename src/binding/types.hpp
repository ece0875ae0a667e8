#pragma once
// Helpers to create the module's types and publish its names.
#include "binding/ref.hpp"

namespace tamsel::binding {

// Creates a heap type from `spec` (bases may be null), publishes it in `module` under its
// short name and stores it in `slot`. Returns false with an exception set.
bool add_type(PyObject* module, PyType_Spec* spec, PyObject* bases, Ref& slot);

// Publishes `value` (a new reference, stolen even on failure) under `name`, optionally
// keeping a reference in `slot`.
bool add_object(PyObject* module, const char* name, PyObject* value, Ref* slot = nullptr);

// A C function of any PyMethodDef calling convention (METH_FASTCALL, METH_KEYWORDS, ...) as
// the PyCFunction the table stores; the flags tell Python how to call it.
template <typename Function>
PyCFunction as_method(Function* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace tamsel::binding

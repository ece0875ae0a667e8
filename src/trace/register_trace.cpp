// TAMSEL_LOGGING and the three trace functions.
#include "binding/module_state.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "trace/trace_functions.hpp"

namespace tamsel::trace {

namespace {

// True when the environment variable TAMSEL_LOGGING is set to a non-empty string.
int logging_from_environment() {
    binding::Ref environ = binding::Ref::steal(PyObject_GetAttrString(binding::state().os_module.get(), "environ"));
    if (!environ) return -1;
    binding::Ref value = binding::Ref::steal(PyObject_CallMethod(environ.get(), "get", "s", "TAMSEL_LOGGING"));
    if (!value) return -1;
    return value.get() != Py_None && PyObject_IsTrue(value.get());
}

}  // namespace

int add_trace(PyObject* module) {
    int enabled = logging_from_environment();
    if (enabled < 0 || !binding::add_object(module, "TAMSEL_LOGGING", PyBool_FromLong(enabled))) return -1;
    if (PyModule_AddFunctions(module, trace_function_defs()) < 0) return -1;
    watch_namespace(module);
    return 0;
}

}  // namespace tamsel::trace

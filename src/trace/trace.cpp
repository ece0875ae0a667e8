// The C++ entry points of the trace: they call the functions bound in the module namespace.
#include "trace/trace.hpp"

#include "binding/module_state.hpp"
#include "trace/trace_functions.hpp"

namespace tamsel::trace {

namespace detail {

Mode mode = Mode::unknown;

namespace {

// True when the module binds `name` to the module's own trace function `implementation`.
bool bound_to_own(PyObject* dict, PyObject* name, PyCFunction implementation) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    return value && PyCFunction_Check(value) && PyCFunction_GET_FUNCTION(value) == implementation;
}

// Idle when TAMSEL_LOGGING is False and the module's own functions are bound: they would
// return at once. Unknown while the namespace is not watched: a later assignment would go
// unnoticed, so nothing may be skipped.
Mode current_mode() {
    if (!watching()) return Mode::unknown;
    PyObject* dict = PyModule_GetDict(binding::state().module);
    const binding::Names& names = binding::names();
    PyObject* logging = PyDict_GetItemWithError(dict, names.TAMSEL_LOGGING);
    bool idle = logging == Py_False && bound_to_own(dict, names._log_transition, log_transition_impl()) &&
                bound_to_own(dict, names._log_generate_crc, log_generate_crc_impl()) &&
                bound_to_own(dict, names._log_check_crc, log_check_crc_impl());
    if (PyErr_Occurred()) PyErr_Clear();
    return idle ? Mode::idle : Mode::active;
}

// Calls the function bound under `name` in the module namespace, as a global lookup would.
bool call_bound(PyObject* name, PyObject* const* args, std::size_t nargs) {
    PyObject* function = PyDict_GetItemWithError(PyModule_GetDict(binding::state().module), name);
    if (!function) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return false;
    }
    binding::Ref keep = binding::Ref::borrow(function);
    binding::Ref result = binding::Ref::steal(PyObject_Vectorcall(function, args, nargs, nullptr));
    return static_cast<bool>(result);
}

// Settles the mode after the module namespace changed; true when there is nothing to call.
bool idle() {
    if (mode == Mode::unknown) mode = current_mode();
    return mode == Mode::idle;
}

}  // namespace

bool transition(PyObject* name) {
    if (idle()) return true;
    PyObject* args[] = {name};
    return call_bound(binding::names()._log_transition, args, 1);
}

bool generate_crc(PyObject* frame) {
    if (idle()) return true;
    PyObject* args[] = {frame};
    return call_bound(binding::names()._log_generate_crc, args, 1);
}

bool check_crc(std::span<const uint16_t> calculated, PyObject* frame, bool result) {
    if (idle()) return true;
    binding::Ref list = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(calculated.size())));
    if (!list) return false;
    for (std::size_t i = 0; i < calculated.size(); ++i) {
        PyObject* word = PyLong_FromLong(calculated[i]);
        if (!word) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), word);
    }
    PyObject* args[] = {list.get(), frame, result ? Py_True : Py_False};
    return call_bound(binding::names()._log_check_crc, args, 3);
}

}  // namespace detail

namespace {

int watcher_id = -1;
bool watched = false;

bool is_trace_name(PyObject* key) {
    const binding::Names& names = binding::names();
    for (PyObject* name : {names.TAMSEL_LOGGING, names._log_transition, names._log_generate_crc, names._log_check_crc})
        if (key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0)) return true;
    return false;
}

// Runs before the namespace changes: the next trace call settles the mode again.
int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*) {
    if (key == nullptr || is_trace_name(key)) detail::mode = detail::Mode::unknown;
    return 0;
}

}  // namespace

bool watch_namespace(PyObject* module) {
    detail::mode = detail::Mode::unknown;
    if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_namespace_event);
    watched = watcher_id >= 0 && PyDict_Watch(watcher_id, PyModule_GetDict(module)) == 0;
    if (!watched) PyErr_Clear();
    return watched;
}

bool watching() { return watched; }

}  // namespace tamsel::trace

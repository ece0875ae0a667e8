// The watchdog's error records, written to the host's root logger.
#include "binding/module_state.hpp"
#include "watchdog/watchdog_object.hpp"

namespace tamsel::master {

namespace {

// `logging.getLogger().<function>(*args, **kwargs)`: the root logger's own method, which
// leaves the logging configuration as the host made it.
void call_logging(const char* function, PyObject* args, PyObject* kwargs) {
    binding::Ref root = binding::Ref::steal(
        PyObject_CallMethod(binding::state().logging_module.get(), "getLogger", nullptr));
    binding::Ref log = root ? binding::Ref::steal(PyObject_GetAttrString(root.get(), function)) : binding::Ref();
    binding::Ref done = log ? binding::Ref::steal(PyObject_Call(log.get(), args, kwargs)) : binding::Ref();
    // The watchdog goes on whatever the logging configuration does.
    if (!done) PyErr_WriteUnraisable(log.get());
}

}  // namespace

void log_error(const char* message) {
    binding::Ref args = binding::Ref::steal(Py_BuildValue("(s)", message));
    if (!args) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    call_logging("error", args.get(), nullptr);
}

void log_exception(const char* message, PyObject* exception) {
    binding::Ref args = binding::Ref::steal(Py_BuildValue("(s)", message));
    binding::Ref kwargs = binding::Ref::steal(Py_BuildValue("{sO}", "exc_info", exception));
    if (!args || !kwargs) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    call_logging("exception", args.get(), kwargs.get());
}

}  // namespace tamsel::master

// The operations the master's rules call on the module's own handler: its fields, the error
// report, a new session id and whether start-up data is still to move.
#include "binding/host_calls.hpp"
#include "binding/module_state.hpp"
#include "binding/reaction.hpp"
#include "handler/handler_diagnostics.hpp"
#include "handler/handler_object.hpp"

namespace tamsel::master {

using binding::Ref;

PyObject* handler_field(PyObject* slot, const char* name) {
    if (!slot) PyErr_Format(PyExc_AttributeError, "'MasterHandler' object has no attribute '%s'", name);
    return slot;
}

bool report_error(HandlerObject* self, PyObject* transition_name, PyObject* message) {
    diagnostics::fault_reported(self, transition_name, message);
    PyObject* callback = self->report_error_callback;
    if (!callback || callback == Py_None) return true;
    Ref keep = Ref::borrow(callback);
    PyObject* args[3] = {nullptr, transition_name, message};
    return binding::Reaction::run_host_code(
        [&] { return PyObject_Vectorcall(keep.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr); });
}

bool create_session_id(HandlerObject* self) {
    self->second_session_frame_sent = false;
    Ref master = Ref::borrow(handler_field(self->master, "master"));
    if (!master) return false;
    // Looked up in the module namespace on every call, as a module-level name would be.
    PyObject* randint = PyDict_GetItemWithError(PyModule_GetDict(binding::state().module), binding::names().randint);
    if (!randint) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'randint' is not defined");
        return false;
    }
    Ref keep = Ref::borrow(randint);
    Ref session_id = Ref::steal(PyObject_CallFunction(keep.get(), "ii", 0, 0xffff));
    if (!session_id) return false;
    Ref item = py::path(master.get(), {binding::names().session, binding::names().session_id});
    return item && py::set(item.get(), binding::names().value, session_id.get());
}

namespace {

// `node._dynamic_map.pending()`: 1, 0, or -1 on error.
int node_pending(PyObject* slot, const char* name) {
    PyObject* node = handler_field(slot, name);
    if (!node) return -1;
    Ref keep = Ref::borrow(node);
    Ref map = py::get(node, binding::names()._dynamic_map);
    return map ? py::truth(py::call(map.get(), binding::names().pending)) : -1;
}

}  // namespace

int dynamic_map_pending(HandlerObject* self) {
    int pending = node_pending(self->master, "master");
    return pending == 0 ? node_pending(self->slave, "slave") : pending;
}

}  // namespace tamsel::master

// MasterHandler as a context manager, and its text representation.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "binding/host_calls.hpp"
#include "handler/handler_type.hpp"

namespace tamsel::master {

namespace {

using binding::Ref;

// `master.session.<field>.value` as a number for the text, or -1 with an exception set.
long session_number(PyObject* handler, PyObject* field) {
    Ref value = py::path(handler, {binding::names().master, binding::names().session, field, binding::names().value});
    return value ? PyLong_AsLong(value.get()) : -1;
}

}  // namespace

PyObject* handler_enter(PyObject* self) { return Py_NewRef(self); }

PyObject* handler_exit(PyObject* self, PyObject*, PyObject*, PyObject*) {
    // delete() as the handler's class defines it; a false result lets an exception through.
    Ref done = Ref::steal(PyObject_CallMethod(self, "delete", nullptr));
    return done ? Py_NewRef(Py_False) : nullptr;
}

namespace {

// The parts of the text; false with an exception set.
bool describe(PyObject* self, Ref& state_name, long& slave_address, long& connection_id, int& running) {
    Ref state = Ref::steal(PyObject_GetAttrString(self, "_state"));
    state_name = state ? Ref::steal(PyType_GetName(Py_TYPE(state.get()))) : Ref{};
    if (!state_name) return false;
    slave_address = session_number(self, binding::names().slave_address);
    if (slave_address == -1 && PyErr_Occurred()) return false;
    connection_id = session_number(self, binding::names().connection_id);
    if (connection_id == -1 && PyErr_Occurred()) return false;
    Ref flag = Ref::steal(PyObject_GetAttrString(self, "running"));
    running = flag ? PyObject_IsTrue(flag.get()) : -1;
    return running >= 0;
}

}  // namespace

PyObject* handler_repr(PyObject* self) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    Ref state_name;
    long slave_address = 0, connection_id = 0;
    int running = 0;
    if (!describe(self, state_name, slave_address, connection_id, running)) {
        // A handler whose constructor did not run (or failed) lacks its fields.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return PyUnicode_FromFormat("<%U (not initialized)>", type_name.get());
    }
    return PyUnicode_FromFormat("<%U %U %s slave=0x%04lx conn=0x%04lx>", type_name.get(), state_name.get(),
                                running ? "running" : "stopped", slave_address, connection_id);
}

}  // namespace tamsel::master

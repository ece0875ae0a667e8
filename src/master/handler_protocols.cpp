// MasterHandler as a context manager, and its text representation.
#include "binding/args.hpp"
#include "master/handler_names.hpp"
#include "master/handler_py.hpp"
#include "master/handler_type.hpp"

namespace tamsel::master {

namespace {

using binding::Ref;

// `master.session.<field>.value` as a number for the text, or -1 with an exception set.
long session_number(PyObject* handler, PyObject* field) {
    Ref value = py::path(handler, {names::master, names::session, field, names::value});
    return value ? PyLong_AsLong(value.get()) : -1;
}

}  // namespace

PyObject* handler_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* unused[1];
    if (!binding::parse_fastcall("__enter__", nullptr, nargs, kwnames, {}, 0, unused)) return nullptr;
    return Py_NewRef(self);
}

PyObject* handler_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* unused[3];
    if (!binding::parse_fastcall("__exit__", args, nargs, kwnames, {"exc_type", "exc_value", "traceback"}, 3, unused))
        return nullptr;
    // delete() as the handler's class defines it; a false result lets an exception through.
    Ref done = Ref::steal(PyObject_CallMethod(self, "delete", nullptr));
    return done ? Py_NewRef(Py_False) : nullptr;
}

PyObject* handler_repr(PyObject* self) {
    Ref state = Ref::steal(PyObject_GetAttrString(self, "_state"));
    Ref state_name = state ? Ref::steal(PyType_GetName(Py_TYPE(state.get()))) : Ref{};
    Ref type_name = state_name ? Ref::steal(PyType_GetName(Py_TYPE(self))) : Ref{};
    if (!type_name) return nullptr;
    const long slave_address = session_number(self, names::slave_address);
    if (slave_address == -1 && PyErr_Occurred()) return nullptr;
    const long connection_id = session_number(self, names::connection_id);
    if (connection_id == -1 && PyErr_Occurred()) return nullptr;
    Ref running = Ref::steal(PyObject_GetAttrString(self, "running"));
    const int is_running = running ? PyObject_IsTrue(running.get()) : -1;
    if (is_running < 0) return nullptr;
    return PyUnicode_FromFormat("<%U %U %s slave=0x%04lx conn=0x%04lx>", type_name.get(), state_name.get(),
                                is_running ? "running" : "stopped", slave_address, connection_id);
}

}  // namespace tamsel::master

#include "handler/handler_log.hpp"
#include "binding/module_state.hpp"

#include "binding/host_calls.hpp"

namespace tamsel::master::log {

namespace {

using binding::Ref;

constexpr int level_info = 20;     // logging.INFO
constexpr int level_warning = 30;  // logging.WARNING

PyObject* logger() { return binding::state().tamsel_logger.get(); }

void report_unraisable() { PyErr_WriteUnraisable(logger()); }

// logger.isEnabledFor(level): the logger's own cached check.
bool enabled(int level) {
    if (!logger() || PyErr_Occurred()) return false;
    Ref result = Ref::steal(PyObject_CallMethod(logger(), "isEnabledFor", "i", level));
    int truth = result ? PyObject_IsTrue(result.get()) : -1;
    if (truth < 0) report_unraisable();
    return truth > 0;
}

// logger.log(level, format, first, second, slave address, connection id)
void emit(HandlerObject* self, int level, const char* format, PyObject* first, PyObject* second) {
    PyObject* master = self->master;
    Ref address = master ? py::path(master,
                                    {binding::names().session, binding::names().slave_address, binding::names().value})
                         : Ref{};
    Ref id = address
                 ? py::path(master, {binding::names().session, binding::names().connection_id, binding::names().value})
                 : Ref{};
    if (!id) {
        if (PyErr_Occurred()) report_unraisable();
        return;
    }
    Ref done = Ref::steal(
        PyObject_CallMethod(logger(), "log", "isOOOO", level, format, first, second, address.get(), id.get()));
    if (!done) report_unraisable();
}

// The class's name, or the object itself when it is no class.
PyObject* class_name(PyObject* cls) {
    return PyType_Check(cls) ? PyType_GetName(reinterpret_cast<PyTypeObject*>(cls)) : Py_NewRef(cls);
}

}  // namespace

void fault(HandlerObject* self, PyObject* transition_name, PyObject* message) {
    if (!enabled(level_warning)) return;
    emit(self, level_warning, "%s: %s (slave address 0x%04X, connection id 0x%04X)", transition_name, message);
}

void state_change(HandlerObject* self, PyObject* previous, PyObject* next_state) {
    if (!enabled(level_info)) return;
    Ref from = Ref::steal(class_name(previous));
    Ref to = from ? Ref::steal(class_name(next_state)) : Ref{};
    if (!to) return report_unraisable();
    emit(self, level_info, "%s -> %s (slave address 0x%04X, connection id 0x%04X)", from.get(), to.get());
}

bool make_logger() {
    binding::ModuleState& st = binding::state();
    st.tamsel_logger = Ref::steal(PyObject_CallMethod(st.logging_module.get(), "getLogger", "s", "tamsel"));
    return static_cast<bool>(st.tamsel_logger);
}

}  // namespace tamsel::master::log

// The counters of a handler's run and the HandlerStatistics snapshot of them.
#include "binding/module_state.hpp"
#include "recorder/frame_ring_type.hpp"
#include "handler/handler_diagnostics.hpp"
#include "handler/handler_log.hpp"

#include <chrono>

namespace tamsel::master::diagnostics {

namespace {

using binding::Ref;

bool is_data_state_class(PyObject* cls) {
    return PyType_Check(cls) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), binding::as_type(binding::state().StateData));
}

// fault_counts[name] += 1
bool count(HandlerObject* self, PyObject* transition_name) {
    if (!self->fault_counts && !(self->fault_counts = PyDict_New())) return false;
    PyObject* previous = PyDict_GetItemWithError(self->fault_counts, transition_name);
    if (!previous && PyErr_Occurred()) return false;
    long long so_far = previous ? PyLong_AsLongLong(previous) : 0;
    if (so_far == -1 && PyErr_Occurred()) return false;
    Ref total = Ref::steal(PyLong_FromLongLong(so_far + 1));
    return total && PyDict_SetItem(self->fault_counts, transition_name, total.get()) == 0;
}

}  // namespace

double wall_clock_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void fault_reported(HandlerObject* self, PyObject* transition_name, PyObject* message) {
    Ref fault = count(self, transition_name)
                    ? Ref::steal(PyObject_CallFunction(binding::state().HandlerFault.get(), "dOO", wall_clock_now(),
                                                       transition_name, message))
                    : Ref{};
    if (!fault) return PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    binding::assign(self->last_fault, fault.get());
    if (self->recorder) record_fault(self, transition_name, message);
    log::fault(self, transition_name, message);
}

void state_changed(HandlerObject* self, PyObject* previous, PyObject* next_state) {
    self->counters.state_entered = wall_clock_now();
    if (is_data_state_class(next_state)) ++self->counters.connections;
    if (self->recorder) record_state_change(self, previous, next_state);
    log::state_change(self, previous, next_state);
}

PyObject* statistics_snapshot(HandlerObject* self) {
    const HandlerCounters& c = self->counters;
    Ref faults = Ref::steal(self->fault_counts ? PyDict_Copy(self->fault_counts) : PyDict_New());
    if (!faults) return nullptr;
    return PyObject_CallFunction(binding::state().HandlerStatistics.get(), "KKOKKKOd",
                                 static_cast<unsigned long long>(c.replies),
                                 static_cast<unsigned long long>(c.requests), faults.get(),
                                 static_cast<unsigned long long>(c.watchdog_expiries),
                                 static_cast<unsigned long long>(c.connections),
                                 static_cast<unsigned long long>(c.slave_resets),
                                 self->last_fault ? self->last_fault : Py_None, c.state_entered);
}

bool setup() {
    // The snapshot classes are plain Python classes of the package, where users import them.
    binding::ModuleState& st = binding::state();
    Ref classes = Ref::steal(PyImport_ImportModule("tamsel.diagnostics"));
    if (!classes) return false;
    st.HandlerFault = Ref::steal(PyObject_GetAttrString(classes.get(), "Fault"));
    st.HandlerStatistics = Ref::steal(PyObject_GetAttrString(classes.get(), "HandlerStatistics"));
    return st.HandlerFault && st.HandlerStatistics && log::make_logger() && make_ring_type();
}

}  // namespace tamsel::master::diagnostics

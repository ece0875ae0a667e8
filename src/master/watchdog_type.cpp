// The Watchdog class: a subclass of the host's threading.Thread whose body is C++.
#include "binding/args.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "master/watchdog.hpp"
#include "master/watchdog_object.hpp"

#include <memory>

namespace tamsel::master {

namespace {

using binding::Ref;

bool no_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return (nargs == 0 && kwnames == nullptr) || binding::parse_fastcall(name, args, nargs, kwnames, {}, 0, nullptr);
}

PyObject* none_or_null(bool done) { return done ? Py_NewRef(Py_None) : nullptr; }

PyObject* watchdog_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    WatchdogObject* self = as_watchdog(obj);
    std::construct_at(&self->core);
    self->callback = nullptr;
    self->timeout_s = 0.0;
    track_watchdog(obj);
    return obj;
}

// 1 once the thread was started (its body may not have been entered yet), 0 before, -1 with an
// exception set. Initialising the thread base again would make a running thread look unstarted.
int already_started(WatchdogObject* self) {
    if (self->core.life() != WatchdogCore::Life::created) return 1;
    if (self->callback == nullptr) return 0;  // the thread base was never initialised by us
    Ref alive = Ref::steal(PyObject_CallMethod(binding::state().Thread.get(), "is_alive", "O", self));
    return alive ? PyObject_IsTrue(alive.get()) : -1;
}

int watchdog_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    PyObject* argv[2];
    if (!binding::parse_tuple("__init__", args, kwargs, {"timeout_s", "callback"}, 2, argv)) return -1;
    const double timeout_s = PyFloat_AsDouble(argv[0]);
    if (timeout_s == -1.0 && PyErr_Occurred()) return -1;
    if (!check_watchdog_timeout(timeout_s, "timeout_s")) return -1;
    WatchdogObject* self = as_watchdog(obj);
    const int started = already_started(self);
    if (started != 0) {
        if (started > 0) PyErr_SetString(PyExc_RuntimeError, "FSoE Watchdog thread was already started");
        return -1;
    }
    Ref base_init = Ref::steal(PyObject_CallMethod(binding::state().Thread.get(), "__init__", "O", obj));
    if (!base_init) return -1;
    self->timeout_s = timeout_s;
    self->core.set_timeout(WatchdogCore::timeout_from_seconds(timeout_s));
    binding::assign(self->callback, argv[1]);
    return 0;
}

// The instance dictionary is the one managed by the Thread base class. Python 3.13 names its
// visit and clear functions publicly; 3.12 documents them with a leading underscore.
#if PY_VERSION_HEX >= 0x030D0000
int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) { return PyObject_VisitManagedDict(obj, visit, arg); }
void clear_managed_dict(PyObject* obj) { PyObject_ClearManagedDict(obj); }
#else
int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) { return _PyObject_VisitManagedDict(obj, visit, arg); }
void clear_managed_dict(PyObject* obj) { _PyObject_ClearManagedDict(obj); }
#endif

int watchdog_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(as_watchdog(obj)->callback);
    return visit_managed_dict(obj, visit, arg);
}

int watchdog_clear(PyObject* obj) {
    Py_CLEAR(as_watchdog(obj)->callback);
    clear_managed_dict(obj);
    return 0;
}

void watchdog_dealloc(PyObject* obj) {
    binding::gc_dealloc(obj, [](PyObject* obj) {
        untrack_watchdog(obj);
        PyObject_ClearWeakRefs(obj);
        watchdog_clear(obj);
        std::destroy_at(&as_watchdog(obj)->core);
    });
}

PyObject* command_method(const char* name, bool (*command)(PyObject*), PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return no_arguments(name, args, nargs, kwnames) ? none_or_null(command(self)) : nullptr;
}

PyObject* method_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return no_arguments("run", args, nargs, kwnames) ? run_watchdog(self) : nullptr;
}

PyObject* method_activate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("activate", watchdog_activate, self, args, nargs, kwnames);
}

PyObject* method_deactivate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("deactivate", watchdog_deactivate, self, args, nargs, kwnames);
}

PyObject* method_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("stop", watchdog_stop, self, args, nargs, kwnames);
}

PyObject* method_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("reset", watchdog_reset, self, args, nargs, kwnames);
}

// activate() then reset(), each as overridden by a host subclass.
bool activate_then_reset(PyObject* self) {
    return call_watchdog(self, WatchdogOperation::activate) && call_watchdog(self, WatchdogOperation::reset);
}

PyObject* method_activate_and_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return command_method("activate_and_reset", activate_then_reset, self, args, nargs, kwnames);
}

PyObject* method_process_blocking_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    PyObject* argv[1];
    if (!binding::parse_fastcall("__process_blocking_command", args, nargs, kwnames, {"command"}, 1, argv))
        return nullptr;
    return none_or_null(process_command(self, argv[0]));
}

PyObject* get_active(PyObject* self, void*) { return PyBool_FromLong(watchdog_is_active(self)); }

PyObject* get_timeout(PyObject* self, void*) { return PyFloat_FromDouble(as_watchdog(self)->timeout_s); }

PyObject* get_callback(PyObject* self, void*) {
    PyObject* callback = as_watchdog(self)->callback;
    return Py_NewRef(callback ? callback : Py_None);
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"run", binding::as_method(method_run), fastcall_flags, "Watchdog process"},
    {"activate", binding::as_method(method_activate), fastcall_flags, nullptr},
    {"deactivate", binding::as_method(method_deactivate), fastcall_flags, "Resets are no longer required"},
    {"stop", binding::as_method(method_stop), fastcall_flags, "Stop the watchdog module"},
    {"reset", binding::as_method(method_reset), fastcall_flags, "Reset the watchdog to prevent a timeout"},
    {"activate_and_reset", binding::as_method(method_activate_and_reset), fastcall_flags, nullptr},
    {"_Watchdog__process_blocking_command", binding::as_method(method_process_blocking_command), fastcall_flags,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"active", get_active, nullptr, "Indicates if the watchdog is active", nullptr},
    {"_Watchdog__active", get_active, nullptr, nullptr, nullptr},
    {"_Watchdog__timeout", get_timeout, nullptr, nullptr, nullptr},
    {"_Watchdog__callback", get_callback, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("FSoE Watchdog\n\n"
                                  "Implements a mechanism to detect if a PDU cycle is not completed within a time frame")},
    {Py_tp_new, reinterpret_cast<void*>(watchdog_new)},
    {Py_tp_init, reinterpret_cast<void*>(watchdog_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watchdog_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(watchdog_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(watchdog_clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {0, nullptr},
};

PyType_Spec spec = {
    "tamsel.tamsel.Watchdog",
    sizeof(WatchdogObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

bool check_watchdog_timeout(double seconds, const char* argument) {
    if (WatchdogCore::valid_timeout(seconds)) return true;
    Ref value = Ref::steal(PyFloat_FromDouble(seconds));
    if (value)
        PyErr_Format(PyExc_ValueError, "%s must be a positive finite number of seconds (got %R)", argument,
                     value.get());
    return false;
}

bool add_watchdog_type(PyObject* module) {
    binding::ModuleState& st = binding::state();
    Ref bases = Ref::steal(PyTuple_Pack(1, st.Thread.get()));
    return bases && binding::add_type(module, &spec, bases.get(), st.Watchdog);
}

}  // namespace tamsel::master

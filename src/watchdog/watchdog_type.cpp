// The Watchdog class: a subclass of the host's threading.Thread whose body is C++.
#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"

#include <memory>

namespace tamsel::master {

namespace {

using binding::Ref;

using watchdog_native = binding::native<&WatchdogObject::core>;

PyObject* watchdog_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = watchdog_native::allocate(type);
    if (!obj) return nullptr;
    WatchdogObject* self = as_watchdog(obj);
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

int watchdog_init(PyObject* obj, double timeout_s, PyObject* callback) {
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
    binding::assign(self->callback, callback);
    return 0;
}

// The instance dictionary is the one managed by the Thread base class. Python 3.13 names its
// visit and clear functions publicly; 3.12 documents them with a leading underscore.
#if PY_VERSION_HEX >= 0x030D0000
int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) { return PyObject_VisitManagedDict(obj, visit, arg); }
void clear_managed_dict(PyObject* obj) { PyObject_ClearManagedDict(obj); }
#else
int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) {
    return _PyObject_VisitManagedDict(obj, visit, arg);
}
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
        watchdog_native::destroy(obj);
    });
}

// activate() then reset(), each as overridden by a host subclass.
bool activate_then_reset(PyObject* self) {
    return call_watchdog(self, WatchdogOperation::activate) && call_watchdog(self, WatchdogOperation::reset);
}

PyObject* get_active(PyObject* self, void*) { return PyBool_FromLong(watchdog_is_active(self)); }

using binding::method;

using constructor = binding::constructor<watchdog_init, binding::param<"timeout_s", binding::real>,
                                         binding::param<"callback", binding::any_object>>;

using methods = binding::methods<
    method<"run", "Watchdog process", run_watchdog>, method<"activate", "", watchdog_activate>,
    method<"deactivate", "Resets are no longer required", watchdog_deactivate>,
    method<"stop", "Stop the watchdog module", watchdog_stop>,
    method<"reset", "Reset the watchdog to prevent a timeout", watchdog_reset>,
    method<"activate_and_reset", "", activate_then_reset>,
    method<"_Watchdog__process_blocking_command", "", process_command, binding::param<"command", binding::any_object>>>;

using fields =
    binding::fields<binding::property<"active", get_active, nullptr, "Indicates if the watchdog is active">,
                    binding::property<"_Watchdog__active", get_active>,
                    binding::readonly<"_Watchdog__timeout", &WatchdogObject::timeout_s, binding::real>,
                    binding::readonly<"_Watchdog__callback", &WatchdogObject::callback, binding::any_object>>;

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(constructor::doc<"Watchdog", "FSoE Watchdog\n\n"
                                  "Implements a mechanism to detect if a PDU cycle is not completed within a time frame">.data())},
    {Py_tp_new, reinterpret_cast<void*>(watchdog_new)},
    {Py_tp_init, reinterpret_cast<void*>(constructor::init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watchdog_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(watchdog_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(watchdog_clear)},
    {Py_tp_methods, methods::table},
    {Py_tp_getset, fields::getset},
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

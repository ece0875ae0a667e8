// Ends the watchdog threads when the interpreter shuts down.
//
// A watchdog thread is not a daemon thread, and the interpreter waits for such threads before
// it ends. Like the standard library's executors with their workers, the module tells every
// live watchdog thread to stop from the hook the threading module runs just before that wait,
// so a program that ends without delete() still ends.
#include "binding/module_state.hpp"
#include "master/watchdog.hpp"
#include "master/watchdog_object.hpp"

#include <algorithm>
#include <vector>

namespace tamsel::master {

namespace {

using binding::Ref;

// Every Watchdog object (borrowed), from its creation to its deallocation; read and changed
// with the interpreter lock held.
std::vector<PyObject*>& live_watchdogs() {
    static std::vector<PyObject*> live;
    return live;
}

// A watchdog whose thread never ran (or was stopped before) has nothing to end.
bool thread_may_run(PyObject* watchdog) {
    const WatchdogCore::Life life = as_watchdog(watchdog)->core.life();
    return life == WatchdogCore::Life::running ||
           (life == WatchdogCore::Life::created && as_watchdog(watchdog)->callback);
}

PyObject* end_watchdog_threads(PyObject*, PyObject*) {
    binding::interpreter_ending.store(true, std::memory_order_relaxed);
    std::vector<Ref> running;
    for (PyObject* watchdog : live_watchdogs())
        if (thread_may_run(watchdog)) running.push_back(Ref::borrow(watchdog));
    for (const Ref& watchdog : running)
        if (!watchdog_stop(watchdog.get())) PyErr_WriteUnraisable(watchdog.get());
    Py_RETURN_NONE;
}

PyMethodDef end_watchdog_threads_def = {"_end_watchdog_threads", end_watchdog_threads, METH_NOARGS,
                                        "Stop every watchdog thread (run when the interpreter shuts down)"};

}  // namespace

void track_watchdog(PyObject* watchdog) { live_watchdogs().push_back(watchdog); }

void untrack_watchdog(PyObject* watchdog) {
    std::vector<PyObject*>& live = live_watchdogs();
    live.erase(std::remove(live.begin(), live.end(), watchdog), live.end());
}

bool end_watchdogs_at_shutdown() {
    Ref hook = Ref::steal(PyCFunction_New(&end_watchdog_threads_def, nullptr));
    Ref registered = hook ? Ref::steal(PyObject_CallMethod(binding::state().threading_module.get(),
                                                           "_register_atexit", "O", hook.get()))
                          : Ref{};
    return static_cast<bool>(registered);
}

}  // namespace tamsel::master

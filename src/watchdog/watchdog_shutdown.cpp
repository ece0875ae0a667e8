// Ends the watchdog threads when the interpreter shuts down.
//
// A watchdog thread is not a daemon thread, and the interpreter waits for such threads before
// it ends. From the hook the threading module runs just before that wait (where the standard
// library's executors end their workers), the module stops every live watchdog thread, so a
// program that ends without delete() still ends. While other threads the interpreter waits for
// still run (a worker thread may drive a handler after the main thread returned), the
// watchdogs go on supervising and look every few milliseconds whether those have ended.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"

#include <algorithm>
#include <chrono>
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

// A watchdog whose thread never ran (or was stopped before) has nothing to end, nor has one
// that was built but never started.
bool thread_may_run(PyObject* watchdog) {
    const WatchdogCore::Life life = as_watchdog(watchdog)->core.life();
    if (life == WatchdogCore::Life::running) return true;
    if (life != WatchdogCore::Life::created || !as_watchdog(watchdog)->callback) return false;
    Ref alive = Ref::steal(PyObject_CallMethod(watchdog, "is_alive", nullptr));
    const int started = alive ? PyObject_IsTrue(alive.get()) : -1;
    if (started < 0) PyErr_WriteUnraisable(watchdog);
    return started > 0;
}

// How often a watchdog looks whether the program has ended, once the interpreter shuts down.
constexpr std::chrono::milliseconds end_poll{20};

// Whether `thread` is one the interpreter waits for, other than the main thread and the
// watchdogs: 1, 0, or -1 with an exception set.
int keeps_program_alive(PyObject* thread, PyObject* main_thread) {
    if (thread == main_thread || is_watchdog(thread)) return 0;
    Ref daemon = Ref::steal(PyObject_GetAttrString(thread, "daemon"));
    const int is_daemon = daemon ? PyObject_IsTrue(daemon.get()) : -1;
    if (is_daemon != 0) return is_daemon < 0 ? -1 : 0;
    Ref alive = Ref::steal(PyObject_CallMethod(thread, "is_alive", nullptr));
    return alive ? PyObject_IsTrue(alive.get()) : -1;
}

// 1 when no thread besides the main thread and the watchdogs keeps the program alive, 0 when
// one does, -1 with an exception set.
int only_watchdogs_left() {
    PyObject* threading = binding::state().threading_module.get();
    Ref main_thread = Ref::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
    Ref threads = main_thread ? Ref::steal(PyObject_CallMethod(threading, "enumerate", nullptr)) : Ref{};
    Ref listed = threads ? Ref::steal(PySequence_Fast(threads.get(), "enumerate() must give a sequence")) : Ref{};
    if (!listed) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(listed.get()); ++i) {
        Ref thread = Ref::borrow(PySequence_Fast_GET_ITEM(listed.get(), i));
        const int keeps = keeps_program_alive(thread.get(), main_thread.get());
        if (keeps != 0) return keeps < 0 ? -1 : 0;
    }
    return 1;
}

PyObject* end_watchdog_threads(PyObject*) {
    // Daemon threads may be ended (unwound) from here on, once the other threads are done.
    binding::interpreter_ending.store(true, std::memory_order_relaxed);
    std::vector<Ref> running;
    for (PyObject* watchdog : live_watchdogs())
        if (thread_may_run(watchdog)) running.push_back(Ref::borrow(watchdog));
    if (!running.empty() && !program_has_ended()) {
        for (const Ref& watchdog : running) as_watchdog(watchdog.get())->core.poll_every(end_poll);
        Py_RETURN_NONE;
    }
    for (const Ref& watchdog : running)
        if (!watchdog_stop(watchdog.get())) PyErr_WriteUnraisable(watchdog.get());
    Py_RETURN_NONE;
}

PyMethodDef end_watchdog_threads_def = binding::noargs_function<
    "_end_watchdog_threads", "Stop every watchdog thread (run when the interpreter shuts down)",
    end_watchdog_threads>::entry();

}  // namespace

void track_watchdog(PyObject* watchdog) { live_watchdogs().push_back(watchdog); }

void untrack_watchdog(PyObject* watchdog) {
    std::vector<PyObject*>& live = live_watchdogs();
    live.erase(std::remove(live.begin(), live.end(), watchdog), live.end());
}

void for_each_watchdog(void (*visit)(PyObject* watchdog)) noexcept {
    for (PyObject* watchdog : live_watchdogs()) visit(watchdog);
}

bool program_has_ended() {
    const int ended = only_watchdogs_left();
    if (ended < 0) PyErr_WriteUnraisable(nullptr);
    return ended != 0;
}

bool end_watchdogs_at_shutdown() {
    Ref hook = Ref::steal(PyCFunction_New(&end_watchdog_threads_def, nullptr));
    Ref registered = hook ? Ref::steal(PyObject_CallMethod(binding::state().threading_module.get(), "_register_atexit",
                                                           "O", hook.get()))
                          : Ref{};
    return static_cast<bool>(registered);
}

}  // namespace tamsel::master

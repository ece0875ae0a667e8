#pragma once
// Layout of Watchdog instances, for the files that implement the class.
//
// The class derives from the host's `threading.Thread`; its instance dictionary and weak
// references live in the object's pre-header, as for every host-level class.
#include "binding/ref.hpp"
#include "watchdog/watchdog_core.hpp"

namespace tamsel::master {

struct WatchdogObject {
    PyObject_HEAD WatchdogCore core;  // constructed by tp_new, destroyed by tp_dealloc
    PyObject* callback;               // owned; null until __init__
    double timeout_s;
};

inline WatchdogObject* as_watchdog(PyObject* obj) noexcept { return reinterpret_cast<WatchdogObject*>(obj); }

// Creates and publishes the class (after WatchdogCommand).
bool add_watchdog_type(PyObject* module);

// The RuntimeError of a command to a watchdog that is not running.
void raise_not_running();

// Commands from host threads.
bool process_command(PyObject* watchdog, PyObject* command);

// The registry of Watchdog objects whose threads end when the interpreter shuts down.
void track_watchdog(PyObject* watchdog);
void untrack_watchdog(PyObject* watchdog);
// Calls `visit` with every tracked watchdog (borrowed); `visit` must not track or untrack any.
void for_each_watchdog(void (*visit)(PyObject* watchdog)) noexcept;
// Registers the shutdown hook with the threading module; false with an exception set.
bool end_watchdogs_at_shutdown();
// While the interpreter shuts down: whether no thread it waits for is left besides the
// watchdogs. A failure to tell is reported as unraisable and counts as ended.
bool program_has_ended();

// The thread body.
PyObject* run_watchdog(PyObject* watchdog);

// The record of an exception raised by an expiry callback.
inline constexpr const char* crash_message = "FSoE Watchdog thread crashed. Restarting...";

// Error records on the host's root logger (the logger object: the logging module's functions
// would configure logging for a host that never did). A logging failure is reported as
// unraisable.
void log_error(const char* message);
void log_exception(const char* message, PyObject* exception);

}  // namespace tamsel::master

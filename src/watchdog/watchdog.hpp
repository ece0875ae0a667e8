#pragma once
// C++ access to Watchdog objects (the module's `Watchdog` class and host subclasses of it).
//
// Commands take effect at once, under the watchdog's own mutex, on the calling thread. What a
// caller can rely on when a command returns:
// - after activate: the timer runs, its full length from now;
// - after reset: the timer restarted from now (an inactive watchdog ignores it);
// - after deactivate or stop, called on another thread than the watchdog's: no expiry callback
//   runs or starts any more. Both are blocking: they wait (at most 5 seconds, without the
//   interpreter lock) until a callback that was running has returned. A callback waiting for
//   a lock the caller holds must give up once its expiry is stale (`watchdog_expiry_is_stale`);
// - called from inside the callback (on the watchdog thread), they take effect without waiting;
// - after stop: commands are refused; the thread ends (stop waits up to 5 seconds for it,
//   except on the watchdog thread itself; a second stop does not wait).
//
// Expiries and their generation. Every activate, reset, deactivate and stop bumps the
// watchdog's generation; an expiry is found at one generation and is stale once the watchdog
// was commanded after it. The handler serialises expiries with its own lock like this:
//
//     bool watchdog_expired(Handler* self) {        // the watchdog's callback, GIL held
//         auto stale = [&] { return watchdog_expiry_is_stale(self->watchdog); };
//         HandlerLock::Guard guard(self->lock, stale);  // waits with the GIL released
//         if (guard.given_up() || stale()) return true;  // a host op came first
//         ... handle the expiry ...
//     }
//
// The callback is called with no arguments on the watchdog thread with the interpreter lock
// held and no lock of the watchdog held; while it runs, `current_watchdog_expiry()` on that
// thread names the expiry.
//
// Errors (functions returning bool: false with an exception set): RuntimeError "FSoE Watchdog
// thread is not running" when a command would act on a watchdog whose thread was never started
// or was stopped; whatever the host's `is_alive()` or an overriding method raises.
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::master {

// Instance of `Watchdog` or of a host subclass (the functions below accept both).
bool is_watchdog(PyObject* obj) noexcept;
// Instance of exactly `Watchdog`: its methods are the module's own.
bool is_exact_watchdog(PyObject* obj) noexcept;

// The operations behind the host-level methods of the same names; `watchdog` is_watchdog().
// These never dispatch to methods a host subclass overrides.
bool watchdog_activate(PyObject* watchdog);
bool watchdog_deactivate(PyObject* watchdog);
bool watchdog_reset(PyObject* watchdog);
bool watchdog_activate_and_reset(PyObject* watchdog);
bool watchdog_stop(PyObject* watchdog);
bool watchdog_is_active(PyObject* watchdog) noexcept;

// Whether `seconds` can be a watchdog timeout (a positive finite number); if not, raises
// ValueError "<argument> must be a positive finite number of seconds (got <value>)".
bool check_watchdog_timeout(double seconds, const char* argument);

enum class WatchdogOperation { activate, deactivate, reset, activate_and_reset, stop };

// Runs `obj.<operation>()` for any object: straight in C++ when `obj` is exactly a
// `Watchdog`, as a method call otherwise (a host subclass or a substitute is honoured).
bool call_watchdog(PyObject* obj, WatchdogOperation operation);

// `activate_and_reset` as a state's reaction does it: a watchdog stopped while its own expiry
// ran (delete() from a callback, the program ending) has nothing left to supervise and the
// reaction completes without it; any other failure lets the reaction complete and propagates
// at its end. False only when the reaction must stop at once.
bool activate_for_reaction(PyObject* watchdog);

struct WatchdogExpiry {
    PyObject* watchdog;  // borrowed; alive while its callback runs
    std::uint64_t generation;
};

// The expiry whose callback runs on the calling thread (the innermost one), or null.
const WatchdogExpiry* current_watchdog_expiry() noexcept;

// Whether the expiry still stands: its watchdog runs, is active and was not commanded since.
// Lock-free; callable with or without the interpreter lock.
bool watchdog_expiry_is_current(const WatchdogExpiry& expiry) noexcept;

// Whether the calling thread runs an expiry callback of `watchdog` whose expiry is no longer
// current. False outside such a callback: a direct call of an expiry handler is never stale.
bool watchdog_expiry_is_stale(PyObject* watchdog) noexcept;

// Whether the calling thread runs an expiry callback of `watchdog` and the watchdog was
// stopped since that expiry (no longer running).
bool watchdog_stopped_during_current_expiry(PyObject* watchdog) noexcept;

}  // namespace tamsel::master

// The watchdog thread's body and the expiries it delivers.
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"

namespace tamsel::master {

namespace {

using Entry = WatchdogCore::Entry;

// Static TLS, as Reaction's: no dynamic look-up on every cycle's watchdog feed.
[[gnu::tls_model("initial-exec")]] thread_local const WatchdogExpiry* current_expiry = nullptr;

// Names the expiry whose callback runs on this thread for as long as it runs.
class ExpiryScope {
public:
    explicit ExpiryScope(const WatchdogExpiry& expiry) noexcept : previous_(current_expiry) {
        current_expiry = &expiry;
    }
    ~ExpiryScope() { current_expiry = previous_; }
    ExpiryScope(const ExpiryScope&) = delete;
    ExpiryScope& operator=(const ExpiryScope&) = delete;

private:
    const WatchdogExpiry* previous_;
};

class BodyScope {
public:
    explicit BodyScope(WatchdogCore& core) noexcept : core_(core) {}
    ~BodyScope() { core_.leave_body(); }
    BodyScope(const BodyScope&) = delete;
    BodyScope& operator=(const BodyScope&) = delete;

private:
    WatchdogCore& core_;
};

bool call_back(WatchdogObject* self, std::uint64_t generation) {
    const WatchdogExpiry expiry{reinterpret_cast<PyObject*>(self), generation};
    ExpiryScope scope(expiry);
    binding::Ref callback = binding::Ref::borrow(self->callback);
    return static_cast<bool>(binding::Ref::steal(PyObject_CallNoArgs(callback.get())));
}

// After the callback raised: an ordinary exception is logged and the thread goes on;
// anything else (an interpreter exit) stays set and ends the thread.
bool recover_from_crash() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    binding::Ref exception = binding::Ref::steal(PyErr_GetRaisedException());
    log_exception(crash_message, exception.get());
    return true;
}

}  // namespace

PyObject* run_watchdog(PyObject* watchdog) {
    WatchdogObject* self = as_watchdog(watchdog);
    if (!self->callback) {
        PyErr_SetString(PyExc_RuntimeError, "Watchdog.__init__() not called");
        return nullptr;
    }
    WatchdogCore& core = self->core;
    switch (core.enter_body()) {
        case Entry::busy:
            PyErr_SetString(PyExc_RuntimeError, "FSoE Watchdog thread is already running");
            return nullptr;
        case Entry::stopped: Py_RETURN_NONE;
        case Entry::entered: break;
    }
    BodyScope body(core);
    for (;;) {
        WatchdogCore::Wake wake;
        Py_BEGIN_ALLOW_THREADS
        wake = core.wait_for_expiry();
        Py_END_ALLOW_THREADS
        if (wake.reason == WatchdogCore::Wake::Reason::stopped) Py_RETURN_NONE;
        if (wake.reason == WatchdogCore::Wake::Reason::poll) {
            // Polled only while the interpreter shuts down: the watchdog ends with the program.
            if (program_has_ended()) core.stop();
            continue;
        }
        // A command that came while this thread waited for the interpreter lock wins.
        if (!core.begin_callback(wake.generation)) continue;
        const bool done = call_back(self, wake.generation);
        core.end_callback();
        if (!done && !recover_from_crash()) return nullptr;
    }
}

const WatchdogExpiry* current_watchdog_expiry() noexcept { return current_expiry; }

bool watchdog_expiry_is_current(const WatchdogExpiry& expiry) noexcept {
    return as_watchdog(expiry.watchdog)->core.is_current(expiry.generation);
}

bool watchdog_stopped_during_current_expiry(PyObject* watchdog) noexcept {
    const WatchdogExpiry* expiry = current_expiry;
    return expiry && expiry->watchdog == watchdog && as_watchdog(watchdog)->core.life() != WatchdogCore::Life::running;
}

bool watchdog_expiry_is_stale(PyObject* watchdog) noexcept {
    const WatchdogExpiry* expiry = current_expiry;
    return expiry && expiry->watchdog == watchdog && !watchdog_expiry_is_current(*expiry);
}

}  // namespace tamsel::master

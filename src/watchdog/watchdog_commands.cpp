// Commands to a watchdog from host threads, and its C++ interface.
#include "binding/module_state.hpp"
#include "binding/reaction.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_object.hpp"

#include <chrono>
#include <utility>

namespace tamsel::master {

namespace {

using Life = WatchdogCore::Life;
using Outcome = WatchdogCore::Outcome;

// Longest wait of a blocking command for the thread's acknowledgement.
constexpr std::chrono::seconds acknowledgement_limit{5};

WatchdogCore& core_of(PyObject* watchdog) noexcept { return as_watchdog(watchdog)->core; }

// The host's `is_alive()`: 1, 0, or -1 with an exception set.
int thread_is_alive(PyObject* watchdog) {
    binding::Ref alive = binding::Ref::steal(PyObject_CallMethod(watchdog, "is_alive", nullptr));
    return alive ? PyObject_IsTrue(alive.get()) : -1;
}

// A watchdog whose thread is alive but has not entered its body yet runs already.
bool notice_started_thread(PyObject* watchdog) {
    WatchdogCore& core = core_of(watchdog);
    if (core.life() != Life::created) return true;
    int alive = thread_is_alive(watchdog);
    if (alive < 0) return false;
    if (alive) core.mark_running();
    return true;
}

bool ensure_running(PyObject* watchdog) {
    if (core_of(watchdog).life() == Life::running) return true;
    if (!notice_started_thread(watchdog)) return false;
    if (core_of(watchdog).life() == Life::running) return true;
    raise_not_running();
    return false;
}

bool check_outcome(Outcome outcome) {
    if (outcome != Outcome::not_running) return true;
    raise_not_running();
    return false;
}

// Waits, without the interpreter lock, until an expiry callback that runs has returned.
// The outcome of the wait is not examined: after the limit the caller goes on.
void wait_for_acknowledgement(WatchdogCore& core) {
    Py_BEGIN_ALLOW_THREADS
    core.wait_until_idle(acknowledgement_limit);
    Py_END_ALLOW_THREADS
}

// Deactivation, acknowledged once no callback runs any more.
bool deactivate(WatchdogCore& core) {
    const Outcome outcome = core.deactivate();
    if (outcome == Outcome::applied) wait_for_acknowledgement(core);
    return check_outcome(outcome);
}

bool wait_for_thread(PyObject* watchdog) {
    int alive = thread_is_alive(watchdog);
    if (alive <= 0) return alive == 0;
    binding::Ref done = binding::Ref::steal(
        PyObject_CallMethod(binding::state().Thread.get(), "join", "Od", watchdog,
                            std::chrono::duration<double>(acknowledgement_limit).count()));
    return static_cast<bool>(done);
}

// stop() once the thread, if alive, is known to run.
bool stop_noticed(PyObject* watchdog) {
    WatchdogCore& core = core_of(watchdog);
    const WatchdogCore::StopOutcome result = core.stop();
    if (result.outcome == Outcome::not_running) {
        // A thread that was told to stop and has not finished yet counts as stopped already.
        if (core.life() != Life::created) {
            int alive = thread_is_alive(watchdog);
            if (alive != 0) return alive > 0;
        }
        raise_not_running();
        return false;
    }
    return !result.may_wait || wait_for_thread(watchdog);
}

enum class Command { reset, stop, activate, deactivate, unknown };

// Which WatchdogCommand `obj` equals, tested in the order RESET, STOP, ACTIVATE, DEACTIVATE.
bool identify(PyObject* obj, Command& out) {
    static constexpr std::pair<const char*, Command> members[] = {{"RESET", Command::reset},
                                                                  {"STOP", Command::stop},
                                                                  {"ACTIVATE", Command::activate},
                                                                  {"DEACTIVATE", Command::deactivate}};
    for (const auto& [name, command] : members) {
        binding::Ref member = binding::Ref::steal(PyObject_GetAttrString(binding::state().WatchdogCommand.get(), name));
        if (!member) return false;
        int equal = PyObject_RichCompareBool(obj, member.get(), Py_EQ);
        if (equal < 0) return false;
        if (equal) {
            out = command;
            return true;
        }
    }
    out = Command::unknown;
    return true;
}

// A command the watchdog cannot carry out: an error record, then the crash record with the
// exception it stands for. The watchdog goes on; like any command, this one restarts the timer.
bool internal_error(WatchdogCore& core, const char* message, PyObject* exception_type) {
    if (core.active()) core.reset();
    log_error(message);
    binding::Ref exception = binding::Ref::steal(PyObject_CallNoArgs(exception_type));
    if (exception) log_exception(crash_message, exception.get());
    else PyErr_WriteUnraisable(nullptr);
    return true;
}

}  // namespace

void raise_not_running() { PyErr_SetString(PyExc_RuntimeError, "FSoE Watchdog thread is not running"); }

bool is_watchdog(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, binding::as_type(binding::state().Watchdog));
}

bool is_exact_watchdog(PyObject* obj) noexcept { return Py_IS_TYPE(obj, binding::as_type(binding::state().Watchdog)); }

bool watchdog_is_active(PyObject* watchdog) noexcept { return core_of(watchdog).active(); }

bool watchdog_reset(PyObject* watchdog) {
    if (!ensure_running(watchdog)) return false;
    core_of(watchdog).reset();
    return true;
}

bool watchdog_activate(PyObject* watchdog) {
    if (core_of(watchdog).active()) return true;
    return ensure_running(watchdog) && check_outcome(core_of(watchdog).activate());
}

bool watchdog_deactivate(PyObject* watchdog) {
    if (!core_of(watchdog).active()) return true;
    return ensure_running(watchdog) && deactivate(core_of(watchdog));
}

bool watchdog_activate_and_reset(PyObject* watchdog) { return watchdog_activate(watchdog) && watchdog_reset(watchdog); }

bool watchdog_stop(PyObject* watchdog) { return notice_started_thread(watchdog) && stop_noticed(watchdog); }

bool call_watchdog(PyObject* obj, WatchdogOperation operation) {
    static constexpr const char* names[] = {"activate", "deactivate", "reset", "activate_and_reset", "stop"};
    if (is_exact_watchdog(obj)) {
        switch (operation) {
            case WatchdogOperation::activate: return watchdog_activate(obj);
            case WatchdogOperation::deactivate: return watchdog_deactivate(obj);
            case WatchdogOperation::reset: return watchdog_reset(obj);
            case WatchdogOperation::activate_and_reset: return watchdog_activate_and_reset(obj);
            case WatchdogOperation::stop: return watchdog_stop(obj);
        }
    }
    binding::Ref result = binding::Ref::steal(PyObject_CallMethod(obj, names[static_cast<int>(operation)], nullptr));
    return static_cast<bool>(result);
}

bool activate_for_reaction(PyObject* watchdog) {
    if (call_watchdog(watchdog, WatchdogOperation::activate_and_reset)) return true;
    if (watchdog_stopped_during_current_expiry(watchdog)) {
        PyErr_Clear();
        return true;
    }
    return binding::Reaction::keep_raised();
}

bool process_command(PyObject* watchdog, PyObject* command) {
    Command which;
    if (!ensure_running(watchdog) || !identify(command, which)) return false;
    WatchdogCore& core = core_of(watchdog);
    switch (which) {
        case Command::reset: core.reset(); return true;
        case Command::stop: return stop_noticed(watchdog);
        case Command::activate:
            if (const Outcome outcome = core.activate(); outcome != Outcome::unchanged) return check_outcome(outcome);
            return internal_error(core, "WatchdogCommand.ACTIVATE received while already active", PyExc_RuntimeError);
        case Command::deactivate: return deactivate(core);
        case Command::unknown: break;
    }
    return internal_error(core, "Unknown FSoE Watchdog internal command received. Watchdog corrupted",
                          PyExc_NotImplementedError);
}

}  // namespace tamsel::master

#pragma once
// A wait for a handler's lock that ends: after a time limit, or at once when a signal handler
// raises on the main thread (KeyboardInterrupt on Ctrl-C). Used by operations that must not
// hang behind a callback that never returns, such as one waiting for a lock its caller holds.
//
//     BoundedWait wait(limit);
//     HandlerLock::Guard guard(self->lock, wait.give_up());
//     if (guard.given_up()) return wait.raise("stop()");
#include "binding/module_state.hpp"
#include "binding/ref.hpp"

#include <chrono>

namespace tamsel::master {

class BoundedWait {
public:
    using Clock = std::chrono::steady_clock;

    // With the interpreter lock held.
    explicit BoundedWait(std::chrono::seconds limit) : limit_(limit), deadline_(Clock::now() + limit) {
        main_thread_ = on_main_thread();
    }
    BoundedWait(const BoundedWait&) = delete;
    BoundedWait& operator=(const BoundedWait&) = delete;

    // The predicate for HandlerLock::acquire, asked without the interpreter lock.
    auto give_up() {
        return [this] {
            if (Clock::now() >= deadline_) return true;
            if (!main_thread_) return false;
            PyGILState_STATE gil = PyGILState_Ensure();
            if (PyErr_CheckSignals() < 0) interrupted_ = binding::Ref::steal(PyErr_GetRaisedException());
            PyGILState_Release(gil);
            return static_cast<bool>(interrupted_);
        };
    }

    // After the wait gave up, with the interpreter lock held: raises what a signal handler
    // raised, else RuntimeError saying that `operation` gave up. Returns false.
    bool raise(const char* operation) {
        if (interrupted_) {
            PyErr_SetRaisedException(interrupted_.release());
            return false;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "%s gave up after %d seconds: a callback or subscriber running on another thread (such as "
                     "the watchdog's expiry) did not return; the handler was left unchanged",
                     operation, static_cast<int>(limit_.count()));
        return false;
    }

private:
    // Only the main thread runs signal handlers. False with no exception if it cannot tell.
    static bool on_main_thread() {
        PyObject* threading = binding::state().threading_module.get();
        binding::Ref main = binding::Ref::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
        binding::Ref current = main ? binding::Ref::steal(PyObject_CallMethod(threading, "current_thread", nullptr))
                                    : binding::Ref{};
        if (!current) PyErr_Clear();
        return current && main.get() == current.get();
    }

    const std::chrono::seconds limit_;
    const Clock::time_point deadline_;
    bool main_thread_ = false;
    binding::Ref interrupted_;
};

}  // namespace tamsel::master

#pragma once
// A reaction of the master (to a reply, a reset, a start or stop, a watchdog expiry) always
// completes: host code it calls on the way - the error and state-change callbacks, the input
// subscribers - cannot cut it short. Such code runs through `run_host_code`; inside a reaction
// its exception is kept and the reaction goes on, and the operation that opened the reaction
// raises the first kept exception when its own work is done.
//
//     binding::Reaction reaction;                 // opens one, or joins the one open here
//     ... the master's work, calling host code through run_host_code ...
//     return reaction.finish(done);               // false with the exception to raise
//
// Host code runs outside the reaction: what it calls on a handler is a reaction of its own,
// and what it does to items raises there as usual. Per thread; no lock.
#include "binding/ref.hpp"

namespace tamsel::binding {

class Reaction {
public:
    // Opens a reaction on this thread, or joins the one already open (the handler calling an
    // operation of its own, as a subclass may override it).
    Reaction() noexcept : owner_(current_ == nullptr) {
        if (owner_) current_ = this;
    }
    ~Reaction() noexcept(false) {
        if (owner_) current_ = nullptr;
    }
    Reaction(const Reaction&) = delete;
    Reaction& operator=(const Reaction&) = delete;

    // Ends the master's work: `done` tells whether it succeeded (false: an exception is set).
    // Returns false with an exception set when one is to propagate: the master's own, whose
    // context then names the first kept one, or else the first kept one. Only the opener
    // raises what was kept.
    bool finish(bool done) {
        if (!owner_ || !first_) return done;
        if (done) {
            PyErr_SetRaisedException(first_.release());
            return false;
        }
        PyObject* own = PyErr_GetRaisedException();
        Ref context = Ref::steal(PyException_GetContext(own));
        if (!context) PyException_SetContext(own, first_.release());
        PyErr_SetRaisedException(own);
        return false;
    }

    // Calls host code: `call()` returns a new reference or null with an exception set. Outside
    // a reaction that exception stays set and the result is false. Inside one, the first
    // exception is kept for the end of the reaction, later ones are dropped, and the result is
    // true: the reaction goes on.
    template <typename Call>
    static bool run_host_code(Call&& call) {
        Ref result;
        {
            Outside outside;
            result = Ref::steal(call());
        }
        return result || keep_raised();
    }

    // For a step of the master's work that may fail without cutting the reaction short: inside
    // a reaction, the exception set now is kept like one of host code (raised at the end if it
    // is the first) and the result is true; outside one it stays set and the result is false.
    static bool keep_raised() {
        Reaction* reaction = current_;
        if (!reaction) return false;
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        if (!reaction->first_) reaction->first_ = std::move(exception);
        return true;
    }

private:
    // Leaves the reaction while host code runs.
    class Outside {
    public:
        Outside() noexcept : reaction_(current_) { current_ = nullptr; }
        ~Outside() { current_ = reaction_; }
        Outside(const Outside&) = delete;
        Outside& operator=(const Outside&) = delete;

    private:
        Reaction* reaction_;
    };

    // Static TLS: a pointer of the module's own, read twice a cycle, without the dynamic
    // look-up a shared object's thread-locals otherwise take.
    [[gnu::tls_model("initial-exec")]] static inline thread_local Reaction* current_ = nullptr;
    const bool owner_;
    Ref first_;  // the first exception host code raised
};

}  // namespace tamsel::binding

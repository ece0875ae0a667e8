#pragma once
// Re-entrant lock that serialises the operations driving one handler's state machine.
//
// The interpreter lock alone does not keep a watchdog expiry and a host operation apart:
// Python code run by either (a callback, a subscriber, a log handler) may let other threads
// in. A thread that has to wait for this lock waits with the interpreter lock released, so
// the owner can go on; the owning thread may take it again (a callback calling reset()).
#include "binding/ref.hpp"

#include <atomic>
#include <cstdint>

namespace tamsel::master {

class HandlerLock {
public:
    HandlerLock() noexcept = default;
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

    // Call with the interpreter lock held; returns with both held. Returns false with
    // RuntimeError set, without waiting, when the owner is itself waiting (directly or through
    // other handlers) for a lock the calling thread holds: two handlers whose callbacks call
    // each other from two threads would otherwise wait for each other for ever.
    [[nodiscard]] bool acquire() noexcept {
        const std::uintptr_t me = thread_token();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return true;
        }
        std::uintptr_t expected = 0;
        if (!owner_.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
            if (waits_for_me(me)) {
                PyErr_SetString(PyExc_RuntimeError,
                                "MasterHandler is busy in a thread that waits for this one: waiting would deadlock");
                return false;
            }
            Waiter* waiter = register_waiter(me);
            Py_BEGIN_ALLOW_THREADS
            do {
                owner_.wait(expected, std::memory_order_relaxed);
                expected = 0;
            } while (!owner_.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed));
            Py_END_ALLOW_THREADS
            if (waiter) waiter->thread = 0;
        }
        depth_ = 1;
        return true;
    }

    void release() noexcept {
        if (--depth_ != 0) return;
        owner_.store(0, std::memory_order_release);
        owner_.notify_one();
    }

    class Guard {
    public:
        explicit Guard(HandlerLock& lock) noexcept : lock_(lock), held_(lock.acquire()) {}
        ~Guard() {
            if (held_) lock_.release();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        // False when the lock could not be taken (an exception is set).
        explicit operator bool() const noexcept { return held_; }

    private:
        HandlerLock& lock_;
        const bool held_;
    };

private:
    // Which lock each waiting thread waits for. Read and written only with the interpreter
    // lock held; a thread that got its lock but has not yet cleared its entry names a lock it
    // owns, which ends the walk below without a finding.
    struct Waiter {
        std::uintptr_t thread;
        const HandlerLock* lock;
    };
    static constexpr int max_waiters = 64;
    static inline Waiter waiters_[max_waiters]{};

    Waiter* register_waiter(std::uintptr_t me) noexcept {
        for (Waiter& waiter : waiters_)
            if (waiter.thread == 0) {
                waiter = {me, this};
                return &waiter;
            }
        return nullptr;  // more waiting threads than slots: this one is not looked at
    }

    static const HandlerLock* lock_waited_for(std::uintptr_t thread) noexcept {
        for (const Waiter& waiter : waiters_)
            if (waiter.thread == thread) return waiter.lock;
        return nullptr;
    }

    // Whether the chain owner of this lock -> lock it waits for -> its owner ... reaches `me`.
    bool waits_for_me(std::uintptr_t me) const noexcept {
        const HandlerLock* lock = this;
        for (int step = 0; lock && step < max_waiters; ++step) {
            const std::uintptr_t owner = lock->owner_.load(std::memory_order_acquire);
            if (owner == me) return true;
            if (owner == 0) return false;
            lock = lock_waited_for(owner);
        }
        return false;
    }

    // A value unique to each live thread, never 0: its thread state (the interpreter lock is
    // held wherever this is asked, so the calling thread has one).
    static std::uintptr_t thread_token() noexcept { return reinterpret_cast<std::uintptr_t>(PyThreadState_Get()); }

    std::atomic<std::uintptr_t> owner_{0};
    unsigned depth_ = 0;  // touched only by the owner
};

}  // namespace tamsel::master

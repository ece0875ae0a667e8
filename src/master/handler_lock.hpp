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

    // Call with the interpreter lock held; returns with both held.
    void acquire() noexcept {
        const std::uintptr_t me = thread_token();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        std::uintptr_t expected = 0;
        if (!owner_.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
            Py_BEGIN_ALLOW_THREADS
            do {
                owner_.wait(expected, std::memory_order_relaxed);
                expected = 0;
            } while (!owner_.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed));
            Py_END_ALLOW_THREADS
        }
        depth_ = 1;
    }

    void release() noexcept {
        if (--depth_ != 0) return;
        owner_.store(0, std::memory_order_release);
        owner_.notify_one();
    }

    class Guard {
    public:
        explicit Guard(HandlerLock& lock) noexcept : lock_(lock) { lock_.acquire(); }
        ~Guard() { lock_.release(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        HandlerLock& lock_;
    };

private:
    // A value unique to each live thread, never 0: its thread state (the interpreter lock is
    // held wherever this is asked, so the calling thread has one).
    static std::uintptr_t thread_token() noexcept { return reinterpret_cast<std::uintptr_t>(PyThreadState_Get()); }

    std::atomic<std::uintptr_t> owner_{0};
    unsigned depth_ = 0;  // touched only by the owner
};

}  // namespace tamsel::master

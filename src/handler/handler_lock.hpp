#pragma once
// Re-entrant lock that serialises the operations driving one handler's state machine.
//
// The interpreter lock alone does not keep a watchdog expiry and a host operation apart:
// Python code run by either (a callback, a subscriber, a log handler) may let other threads
// in. A thread that has to wait for this lock waits with the interpreter lock released, so
// the owner can go on; the owning thread may take it again (a callback calling reset()).
#include "binding/ref.hpp"
#include "watchdog/process_guard.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace tamsel::master {

class HandlerLock {
public:
    enum class Outcome { held, refused, given_up };

    HandlerLock() noexcept = default;
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

    // Call with the interpreter lock held; returns `held` with both held. Returns `refused`
    // with RuntimeError set, without waiting, in the child of a fork (see process_guard.hpp), or
    // when the owner is itself waiting (directly or
    // through other handlers) for a lock the calling thread holds: two handlers whose
    // callbacks call each other from two threads would otherwise wait for each other for ever.
    // While it waits, `give_up()` is asked now and then (without the interpreter lock or any
    // lock of this one; it may take the interpreter lock itself); once it answers true the
    // wait ends with `given_up` and no exception of its own.
    //
    // Not noexcept: taking the interpreter lock back may end the thread (a daemon thread while
    // the interpreter finalises) by unwinding its stack.
    template <typename GiveUp>
    [[nodiscard]] Outcome acquire(GiveUp give_up) {
        if (!in_own_process()) {
            raise_forked_handler();
            return Outcome::refused;
        }
        const std::uintptr_t me = thread_token();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return Outcome::held;
        }
        if (try_own(me)) {
            depth_ = 1;
            return Outcome::held;
        }
        if (waits_for_me(me)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "MasterHandler is busy in a thread that waits for this one: waiting would deadlock");
            return Outcome::refused;
        }
        WaiterEntry entry(register_waiter(me));
        PyThreadState* saved = PyEval_SaveThread();
        const bool owned = wait_to_own(me, give_up);
        if (owned) depth_ = 1;
        // Taking the interpreter lock back may end this thread instead: the lock goes back then.
        OwnerRollback rollback(owned ? this : nullptr);
        PyEval_RestoreThread(saved);
        rollback.dismiss();
        return owned ? Outcome::held : Outcome::given_up;
    }
    [[nodiscard]] Outcome acquire() { return acquire(NeverGiveUp{}); }

    // False in the child of a fork of the process that made the lock: its owner and waiters
    // may be threads of the parent, and the handler must not be driven there.
    bool in_own_process() const noexcept { return process_generation_ == current_process_generation(); }

    void release() noexcept {
        if (--depth_ != 0) return;
        owner_.store(0, std::memory_order_seq_cst);
        if (waiting_.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard lock(wait_mutex_);
            released_.notify_all();
        }
    }

    class Guard {
    public:
        explicit Guard(HandlerLock& lock) : lock_(lock), outcome_(lock.acquire()) {}
        template <typename GiveUp>
        Guard(HandlerLock& lock, GiveUp give_up) : lock_(lock), outcome_(lock.acquire(give_up)) {}
        ~Guard() {
            if (outcome_ == Outcome::held) lock_.release();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        // False when the lock was not taken (refused: an exception is set; or given up).
        explicit operator bool() const noexcept { return outcome_ == Outcome::held; }
        bool given_up() const noexcept { return outcome_ == Outcome::given_up; }

    private:
        HandlerLock& lock_;
        const Outcome outcome_;
    };

private:
    struct NeverGiveUp {
        bool operator()() const noexcept { return false; }
    };
    // How often a waiter that may give up asks whether to.
    static constexpr std::chrono::milliseconds give_up_poll{2};

    bool try_own(std::uintptr_t me) noexcept {
        std::uintptr_t expected = 0;
        return owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst);
    }

    // Without the interpreter lock: waits until this thread owns the lock (true) or gives up.
    template <typename GiveUp>
    bool wait_to_own(std::uintptr_t me, GiveUp& give_up) {
        std::unique_lock lock(wait_mutex_);
        waiting_.fetch_add(1, std::memory_order_seq_cst);
        bool owned;
        while (!(owned = try_own(me))) {
            if constexpr (std::is_same_v<GiveUp, NeverGiveUp>) {
                released_.wait(lock);
            } else {
                // Asked without the wait mutex: `give_up` may take the interpreter lock, which
                // the owner holds when it takes the wait mutex to release.
                lock.unlock();
                const bool giving_up = give_up();
                lock.lock();
                if (giving_up) break;
                released_.wait_for(lock, give_up_poll);
            }
        }
        waiting_.fetch_sub(1, std::memory_order_seq_cst);
        return owned;
    }

    // Releases a lock taken by a thread whose stack unwinds before its owner could use it.
    class OwnerRollback {
    public:
        explicit OwnerRollback(HandlerLock* lock) noexcept : lock_(lock) {}
        ~OwnerRollback() {
            if (lock_) lock_->release();
        }
        void dismiss() noexcept { lock_ = nullptr; }
        OwnerRollback(const OwnerRollback&) = delete;
        OwnerRollback& operator=(const OwnerRollback&) = delete;

    private:
        HandlerLock* lock_;
    };

    // Which lock each waiting thread waits for. Entries are made and read with the interpreter
    // lock held (an unwinding thread clears its own without it, hence the atomic); a thread that
    // got its lock but has not yet cleared its entry names a lock it owns, which ends the walk
    // below without a finding.
    struct Waiter {
        std::atomic<std::uintptr_t> thread;
        const HandlerLock* lock;
    };
    static constexpr int max_waiters = 64;
    static inline Waiter waiters_[max_waiters]{};

    Waiter* register_waiter(std::uintptr_t me) noexcept {
        for (Waiter& waiter : waiters_)
            if (waiter.thread.load(std::memory_order_relaxed) == 0) {
                waiter.lock = this;
                waiter.thread.store(me, std::memory_order_relaxed);
                return &waiter;
            }
        return nullptr;  // more waiting threads than slots: this one is not looked at
    }

    // Clears a waiter's entry however the wait ends.
    class WaiterEntry {
    public:
        explicit WaiterEntry(Waiter* waiter) noexcept : waiter_(waiter) {}
        ~WaiterEntry() {
            if (waiter_) waiter_->thread.store(0, std::memory_order_relaxed);
        }
        WaiterEntry(const WaiterEntry&) = delete;
        WaiterEntry& operator=(const WaiterEntry&) = delete;

    private:
        Waiter* waiter_;
    };

    static const HandlerLock* lock_waited_for(std::uintptr_t thread) noexcept {
        for (const Waiter& waiter : waiters_)
            if (waiter.thread.load(std::memory_order_relaxed) == thread) return waiter.lock;
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

    const std::uint32_t process_generation_ = current_process_generation();
    std::atomic<std::uintptr_t> owner_{0};
    unsigned depth_ = 0;  // touched only by the owner
    // Threads waiting for the lock sleep on `released_`; `waiting_` tells release whether to wake them.
    std::atomic<int> waiting_{0};
    std::mutex wait_mutex_;
    std::condition_variable released_;
};

}  // namespace tamsel::master

#pragma once
// Timer and command state of one watchdog, shared by the threads that command it and the
// thread that supervises the cycle.
//
// Every command takes effect at once on the calling thread. Deactivating and stopping are
// blocking commands: their caller then waits (`wait_until_idle`, or for the thread to end)
// until an expiry callback that is running returns. Feeding the timer (`reset`) takes no lock and wakes nobody: it moves the deadline,
// and the watchdog thread, when it wakes for the old deadline, sleeps on towards the new one.
// Every change (activation, reset, deactivation, stop) bumps a generation number, so an
// expiry found at generation g is stale as soon as the generation has moved on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

namespace tamsel::master {

class WatchdogCore {
public:
    using Clock = std::chrono::steady_clock;

    enum class Life : std::uint8_t {
        created,   // the thread has not been seen running yet
        running,   // commands are accepted
        stopping,  // stop was requested; the thread leaves as soon as it wakes
        ended,     // the thread body has returned
    };

    enum class Outcome : std::uint8_t {
        applied,
        unchanged,    // the watchdog already was in the requested state
        not_running,  // refused: the watchdog is not running
    };

    struct StopOutcome {
        Outcome outcome;
        // Whether the caller may wait for the thread to end: false on the watchdog thread itself.
        bool may_wait;
    };

    enum class Entry : std::uint8_t { entered, stopped, busy };

    // Longest timeout kept; longer ones (up to infinity) are clamped so deadlines never overflow.
    static constexpr std::chrono::nanoseconds max_timeout{std::int64_t{1} << 60};

    // Whether `seconds` can be a timeout: positive and finite.
    static bool valid_timeout(double seconds) noexcept { return std::isfinite(seconds) && seconds > 0.0; }

    // A valid timeout in whole nanoseconds, at least one.
    static std::chrono::nanoseconds timeout_from_seconds(double seconds) noexcept {
        const double ns = std::ceil(seconds * 1e9);
        if (!(ns < static_cast<double>(max_timeout.count()))) return max_timeout;
        return std::chrono::nanoseconds{std::max<std::int64_t>(1, static_cast<std::int64_t>(ns))};
    }

    WatchdogCore() = default;
    WatchdogCore(const WatchdogCore&) = delete;
    WatchdogCore& operator=(const WatchdogCore&) = delete;

    void set_timeout(std::chrono::nanoseconds timeout) noexcept {
        timeout_ns_.store(timeout.count(), std::memory_order_relaxed);
    }
    std::chrono::nanoseconds timeout() const noexcept {
        return std::chrono::nanoseconds{timeout_ns_.load(std::memory_order_relaxed)};
    }

    // When the timer runs out, on the clock of Clock.
    Clock::time_point deadline() const noexcept {
        return Clock::time_point{std::chrono::nanoseconds{deadline_ns_.load(std::memory_order_relaxed)}};
    }

    Life life() const noexcept { return life_.load(std::memory_order_acquire); }
    bool active() const noexcept { return active_.load(std::memory_order_acquire); }
    std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

    // created -> running once the thread is known to be alive. Whether commands are accepted.
    bool mark_running() {
        std::lock_guard lock(mutex_);
        if (life() == Life::created) life_.store(Life::running, std::memory_order_release);
        return life() == Life::running;
    }

    // ---- commands (any thread) ----

    // Restarts the timer. The caller checked that the watchdog runs. The precise clock is read:
    // a coarse clock can trail it by more than its tick on a tickless kernel, and the timer
    // would then run out before its timeout.
    void reset() noexcept { restart_timer(now_ns()); }

    Outcome activate() {
        std::lock_guard lock(mutex_);
        if (active()) return Outcome::unchanged;
        if (life() != Life::running) return Outcome::not_running;
        active_.store(true, std::memory_order_release);
        restart_timer(now_ns());
        wake_.notify_all();  // the thread waits without a time limit while inactive
        return Outcome::applied;
    }

    Outcome deactivate() {
        std::lock_guard lock(mutex_);
        if (!active()) return Outcome::unchanged;
        if (life() != Life::running) return Outcome::not_running;
        active_.store(false, std::memory_order_release);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        return Outcome::applied;  // the thread finds out when it wakes for the old deadline
    }

    StopOutcome stop() {
        std::lock_guard lock(mutex_);
        if (life() != Life::running) return {Outcome::not_running, false};
        life_.store(Life::stopping, std::memory_order_release);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        wake_.notify_all();
        return {Outcome::applied, !on_watchdog_thread()};
    }

    // The acknowledgement of a blocking command: waits at most `limit` until no expiry callback
    // runs. Returns at once on the watchdog thread itself (from inside the callback). Whether
    // no callback runs on return.
    bool wait_until_idle(std::chrono::nanoseconds limit) {
        std::unique_lock lock(mutex_);
        if (on_watchdog_thread()) return !callback_running_;
        return idle_.wait_for(lock, limit, [this] { return !callback_running_; });
    }

    // Whether an expiry found at `generation` still stands: the watchdog runs, is active, and
    // nothing was commanded since. Lock-free.
    bool is_current(std::uint64_t generation) const noexcept {
        return life() == Life::running && active() && this->generation() == generation;
    }

    // ---- the watchdog thread ----

    Entry enter_body() {
        std::lock_guard lock(mutex_);
        if (life() == Life::stopping || life() == Life::ended) {
            if (!body_running_) life_.store(Life::ended, std::memory_order_release);
            return Entry::stopped;
        }
        if (body_running_) return Entry::busy;
        life_.store(Life::running, std::memory_order_release);
        body_running_ = true;
        body_thread_ = std::this_thread::get_id();
        return Entry::entered;
    }

    void leave_body() {
        std::lock_guard lock(mutex_);
        body_running_ = false;
        callback_running_ = false;
        life_.store(Life::ended, std::memory_order_release);
        idle_.notify_all();
    }

    struct Wake {
        enum class Reason : std::uint8_t { expired, stopped, poll } reason;
        std::uint64_t generation;  // of the expiry, for `expired`
    };

    // Blocks until the timer of the active watchdog runs out (`expired`, with the generation of
    // that expiry), the watchdog is stopped (`stopped`), or, once `poll_every` was asked for,
    // that time has passed (`poll`).
    Wake wait_for_expiry() {
        std::unique_lock lock(mutex_);
        const Clock::time_point next_poll = Clock::now() + poll_interval_;
        for (;;) {
            if (life() != Life::running) return {Wake::Reason::stopped, 0};
            const bool polls = poll_interval_ != std::chrono::nanoseconds::zero();
            if (polls && Clock::now() >= next_poll) return {Wake::Reason::poll, 0};
            if (!active()) {
                if (polls) wake_.wait_until(lock, next_poll);
                else wake_.wait(lock);
                continue;
            }
            // Generation before deadline: a reset stores its deadline before it bumps the
            // generation, so a generation that includes a reset comes with its deadline.
            const std::uint64_t generation = this->generation();
            const std::int64_t deadline = deadline_ns_.load(std::memory_order_relaxed);
            if (now_ns() >= deadline) return {Wake::Reason::expired, generation};
            Clock::time_point until{std::chrono::nanoseconds{deadline}};
            if (polls) until = std::min(until, next_poll);
            wake_.wait_until(lock, until);
        }
    }

    // From now on `wait_for_expiry` also returns every `interval` (a positive duration), so the
    // thread can look around (whether the program it supervises has ended).
    void poll_every(std::chrono::nanoseconds interval) {
        std::lock_guard lock(mutex_);
        poll_interval_ = interval;
        wake_.notify_all();
    }

    // Just before the callback of the expiry found at `generation`: whether it still stands.
    // If so, the callback counts as running until `end_callback`.
    bool begin_callback(std::uint64_t generation) {
        std::lock_guard lock(mutex_);
        if (!is_current(generation)) return false;
        callback_running_ = true;
        return true;
    }

    // After the callback: the timer restarts with its full length.
    void end_callback() {
        std::lock_guard lock(mutex_);
        callback_running_ = false;
        idle_.notify_all();
        deadline_ns_.store(now_ns() + timeout_ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }

    // In the child of a fork, where no other thread exists: the thread of this watchdog did not
    // come along, and its locks may have been held by a thread of the parent. The locks are
    // made anew and a watchdog that had a thread counts as ended.
    void after_fork_in_child() noexcept {
        new (&mutex_) std::mutex;
        new (&wake_) std::condition_variable;
        new (&idle_) std::condition_variable;
        if (life() != Life::created) life_.store(Life::ended, std::memory_order_release);
        active_.store(false, std::memory_order_release);
        body_running_ = false;
        callback_running_ = false;
        poll_interval_ = std::chrono::nanoseconds::zero();
    }

private:
    // Under the mutex.
    bool on_watchdog_thread() const noexcept { return body_running_ && body_thread_ == std::this_thread::get_id(); }

    static std::int64_t now_ns() noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    }

    void restart_timer(std::int64_t now) noexcept {
        deadline_ns_.store(now + timeout_ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
    }

    // What feeding the watchdog reads and writes comes first, next to the object's header: a
    // host thread feeding many watchdogs then touches one cache line of each.
    std::atomic<std::int64_t> timeout_ns_{max_timeout.count()};
    std::atomic<std::int64_t> deadline_ns_{0};
    std::atomic<std::uint64_t> generation_{0};
    // Written under the mutex, read without it.
    std::atomic<bool> active_{false};
    std::atomic<Life> life_{Life::created};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;  // an expiry callback returned
    // Under the mutex.
    bool body_running_ = false;
    bool callback_running_ = false;
    std::chrono::nanoseconds poll_interval_{0};  // zero: no polling
    std::thread::id body_thread_;
};

}  // namespace tamsel::master

#include "watchdog/watchdog_core.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using tamsel::master::WatchdogCore;
using namespace std::chrono_literals;
using Outcome = WatchdogCore::Outcome;

namespace {

struct RunningCore {
    explicit RunningCore(std::chrono::nanoseconds timeout) {
        core.set_timeout(timeout);
        core.mark_running();
    }
    WatchdogCore core;
};

}  // namespace

TEST(WatchdogCore, TimeoutsArePositiveFiniteAndClamped) {
    for (double bad : {0.0, -0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(WatchdogCore::valid_timeout(bad)) << bad;
    EXPECT_TRUE(WatchdogCore::valid_timeout(1e-300));
    EXPECT_EQ(WatchdogCore::timeout_from_seconds(1e-300), 1ns);
    EXPECT_EQ(WatchdogCore::timeout_from_seconds(0.05), 50ms);
    EXPECT_EQ(WatchdogCore::timeout_from_seconds(1e300), WatchdogCore::max_timeout);
}

TEST(WatchdogCore, CommandsNeedARunningWatchdog) {
    WatchdogCore core;
    EXPECT_EQ(core.activate(), Outcome::not_running);
    EXPECT_EQ(core.deactivate(), Outcome::unchanged);  // inactive: nothing to refuse
    EXPECT_EQ(core.stop().outcome, Outcome::not_running);
    EXPECT_TRUE(core.mark_running());
    EXPECT_EQ(core.activate(), Outcome::applied);
    EXPECT_EQ(core.activate(), Outcome::unchanged);
    EXPECT_EQ(core.stop().outcome, Outcome::applied);
    EXPECT_EQ(core.stop().outcome, Outcome::not_running);
    EXPECT_FALSE(core.mark_running());
    EXPECT_TRUE(core.active());  // stopping leaves the flag as it was
    EXPECT_EQ(core.deactivate(), Outcome::not_running);
}

TEST(WatchdogCore, EveryCommandMakesAnExpiryStale) {
    using Command = void (*)(WatchdogCore&);
    const Command commands[] = {
        [](WatchdogCore& c) { c.reset(); },
        [](WatchdogCore& c) { c.deactivate(); },
        [](WatchdogCore& c) { c.stop(); },
    };
    for (Command command : commands) {
        RunningCore running(1h);
        WatchdogCore& core = running.core;
        ASSERT_EQ(core.activate(), Outcome::applied);
        const std::uint64_t found = core.generation();
        EXPECT_TRUE(core.is_current(found));
        EXPECT_EQ(core.activate(), Outcome::unchanged);  // no change, nothing stale
        EXPECT_TRUE(core.is_current(found));
        command(core);
        EXPECT_FALSE(core.is_current(found));
        EXPECT_FALSE(core.begin_callback(found));
    }
}

TEST(WatchdogCore, DeactivateMovesTheGenerationAndActivateOnAnActiveCoreChangesNothing) {
    RunningCore running(1h);
    WatchdogCore& core = running.core;
    ASSERT_EQ(core.activate(), Outcome::applied);
    const std::uint64_t before = core.generation();
    EXPECT_EQ(core.deactivate(), Outcome::applied);
    EXPECT_GT(core.generation(), before);
    ASSERT_EQ(core.activate(), Outcome::applied);
    ASSERT_EQ(core.stop().outcome, Outcome::applied);
    const std::uint64_t stopped = core.generation();
    EXPECT_EQ(core.activate(), Outcome::unchanged);  // active already: nothing to refuse
    EXPECT_EQ(core.generation(), stopped);
}

// The acknowledgement of a blocking command comes once a running callback has returned; on
// the watchdog thread itself (inside the callback) there is nothing to wait for.
TEST(WatchdogCore, BlockingCommandsWaitForTheRunningCallback) {
    RunningCore running(1h);
    WatchdogCore& core = running.core;
    ASSERT_EQ(core.activate(), Outcome::applied);
    EXPECT_TRUE(core.wait_until_idle(0ns));  // no callback runs
    ASSERT_TRUE(core.begin_callback(core.generation()));
    EXPECT_EQ(core.deactivate(), Outcome::applied);
    EXPECT_FALSE(core.wait_until_idle(1ms));
    std::thread watchdog_thread([&core] {
        std::this_thread::sleep_for(20ms);
        core.end_callback();
    });
    EXPECT_TRUE(core.wait_until_idle(1h));
    watchdog_thread.join();
    ASSERT_EQ(core.activate(), Outcome::applied);
    ASSERT_TRUE(core.begin_callback(core.generation()));
    EXPECT_TRUE(core.stop().may_wait);  // another thread than the watchdog's
    core.end_callback();
}

TEST(WatchdogCore, APollingWatchdogWakesWithoutExpiring) {
    using Reason = WatchdogCore::Wake::Reason;
    for (bool active : {false, true}) {
        RunningCore running(1h);
        WatchdogCore& core = running.core;
        if (active) {
            ASSERT_EQ(core.activate(), Outcome::applied);
        }
        core.poll_every(1ms);
        EXPECT_EQ(core.wait_for_expiry().reason, Reason::poll) << active;
        ASSERT_EQ(core.stop().outcome, Outcome::applied);
        EXPECT_EQ(core.wait_for_expiry().reason, Reason::stopped) << active;
    }
}

TEST(WatchdogCore, TheWatchdogThreadNeverWaitsForItsOwnCallback) {
    RunningCore running(1h);
    WatchdogCore& core = running.core;
    ASSERT_EQ(core.enter_body(), WatchdogCore::Entry::entered);
    ASSERT_EQ(core.activate(), Outcome::applied);
    ASSERT_TRUE(core.begin_callback(core.generation()));
    EXPECT_FALSE(core.wait_until_idle(1h));  // returns at once: the callback is the caller
    core.end_callback();
    core.leave_body();
}

TEST(WatchdogCore, StopOnTheWatchdogThreadDoesNotWaitForItself) {
    RunningCore running(1h);
    WatchdogCore& core = running.core;
    ASSERT_EQ(core.enter_body(), WatchdogCore::Entry::entered);
    EXPECT_EQ(core.enter_body(), WatchdogCore::Entry::busy);
    EXPECT_FALSE(core.stop().may_wait);
    EXPECT_EQ(core.enter_body(), WatchdogCore::Entry::stopped);  // stopped wins over busy
    EXPECT_EQ(core.life(), WatchdogCore::Life::stopping);        // until the body leaves
    core.leave_body();
    EXPECT_EQ(core.enter_body(), WatchdogCore::Entry::stopped);
}

// A feed restarts the timer from the moment of the feed: it never runs out before its timeout
// has passed since the feed.
TEST(WatchdogCore, AFeedRestartsTheTimerFromNow) {
    for (std::chrono::nanoseconds timeout : {std::chrono::nanoseconds{1ms}, std::chrono::nanoseconds{1h}}) {
        RunningCore running(timeout);
        WatchdogCore& core = running.core;
        ASSERT_EQ(core.activate(), Outcome::applied);
        for (int feed = 0; feed < 1000; ++feed) {
            const auto before = WatchdogCore::Clock::now();
            core.reset();
            const auto after = WatchdogCore::Clock::now();
            ASSERT_GE(core.deadline(), before + timeout) << timeout.count();
            ASSERT_LE(core.deadline(), after + timeout + timeout / 16) << timeout.count();
        }
    }
}

// In a forked child the watchdog's thread is gone: the core counts as ended, with locks made
// anew, and nothing waits for the callback that ran at the fork.
TEST(WatchdogCore, AfterAForkInTheChildTheWatchdogHasEndedAndNothingWaits) {
    RunningCore running(1h);
    WatchdogCore& core = running.core;
    ASSERT_EQ(core.activate(), Outcome::applied);
    ASSERT_EQ(core.enter_body(), WatchdogCore::Entry::entered);
    ASSERT_TRUE(core.begin_callback(core.generation()));  // a callback runs at the fork
    core.after_fork_in_child();
    EXPECT_EQ(core.life(), WatchdogCore::Life::ended);
    EXPECT_FALSE(core.active());
    EXPECT_EQ(core.activate(), Outcome::not_running);
    EXPECT_EQ(core.stop().outcome, Outcome::not_running);
    EXPECT_TRUE(core.wait_until_idle(0ns));
    EXPECT_EQ(core.wait_for_expiry().reason, WatchdogCore::Wake::Reason::stopped);
}

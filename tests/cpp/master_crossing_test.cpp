// The master core against the simulated slave's core on a bus with latency: frames take 1 to 3
// cycles each way, and each side sees the latest frame that has arrived, again and again, as
// process data does. After a fault in any state (a frame corrupted either way, a slave reset, a
// host reset, two watchdog expiries) the connection must come back to Data within a bound and
// stay there, and no reply the slave sent before it saw the master's reset may be taken.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "core/session_opening.hpp"
#include "master_pair.hpp"

namespace {

using namespace tamsel;
using namespace tamsel::testing;
using core::State;

constexpr int W = 30;  // the master's watchdog, in cycles

// Frames of a start-up from Reset with `size` bytes per frame: Reset, Session (2 bytes),
// Connection (4 bytes), Parameter (7 bytes).
constexpr int startup(int size) { return 1 + (2 + size - 1) / size + (4 + size - 1) / size + (7 + size - 1) / size; }

// One direction of the bus: a frame sent in cycle c arrives in cycle c + delay.
struct Channel {
    struct Frame {
        Bytes bytes;
        int made;  // the cycle its sender made it in
    };
    int delay = 1;
    std::function<Bytes(int cycle, Bytes frame)> hook;  // changes a frame as it is sent
    std::map<int, Frame> arrivals;
    std::optional<Frame> latest;  // what the receiver sees

    void send(int cycle, Bytes frame, int made) {
        arrivals[cycle + delay] = {hook ? hook(cycle, std::move(frame)) : frame, made};
    }
    const std::optional<Frame>& receive(int cycle) {
        if (auto it = arrivals.find(cycle); it != arrivals.end()) {
            latest = std::move(it->second);
            arrivals.erase(it);
        }
        return latest;
    }
};

std::function<Bytes(int, Bytes)> corrupt_at(int when) {
    return [when](int cycle, Bytes frame) {
        if (cycle == when) frame[3] ^= 0xFF;  // a byte of the first CRC in every frame size
        return frame;
    };
}

// Transitions that take the slave's frame and go on with the connection.
bool takes(core::Transition t) {
    using T = core::Transition;
    for (T going_on : {T::session_ok, T::session_stay1, T::conn_ok, T::conn_stay1, T::para_ok, T::para_stay1,
                       T::data_ok1, T::data_ok2})
        if (t == going_on) return true;
    return false;
}

// Every other transition starts the frames afresh, except the one that tolerates a bad CRC.
bool restarts(core::Transition t) { return !takes(t) && t != core::Transition::session_stay2; }

// A cycle: scheduled actions; the master's request goes out; the slave answers the latest master
// frame that has arrived; the master takes the latest slave frame that has arrived as the handler
// does (not when it is byte for byte the last one, nor a copy of the Reset frame that opened the
// session); the master's watchdog runs out W cycles after its last activation.
// Every frame carries the cycle its sender made it in, so that the link can tell which replies
// crossed a restart of the master.
class Link {
public:
    Link(int d_ms, int d_sm, uint16_t size) : pair_(size) {
        to_slave.delay = d_ms;
        to_master.delay = d_sm;
        note_transitions();
    }

    Channel to_slave, to_master;
    std::multimap<int, std::function<void(Link&)>> actions;

    Connection& master() { return pair_.master; }
    slave::SlaveCore& slave() { return pair_.slave; }
    int cycle() const { return cycle_; }

    void step() {
        ++cycle_;
        auto [first, last] = actions.equal_range(cycle_);
        for (auto it = first; it != last; ++it) it->second(*this);
        if (restart_pending_) restart_sent_ = cycle_;
        restart_pending_ = false;
        to_slave.send(cycle_, master().request, cycle_);
        if (const std::optional<Channel::Frame>& request = to_slave.receive(cycle_)) {
            const Bytes& bytes = request->bytes;
            if (slave().reply(bytes.data(), bytes.size(), static_cast<uint64_t>(cycle_)).processed)
                reply_made_ = cycle_;
        }
        if (slave().reply_length() > 0)
            to_master.send(cycle_, Bytes(slave().reply_data(), slave().reply_data() + slave().reply_length()),
                           reply_made_);
        const std::optional<Channel::Frame>& reply = to_master.receive(cycle_);
        if (reply && reply->bytes != master().last_reply) {
            taken_made_ = reply->made;
            take(reply->bytes);
        }
        if (cycle_ - last_activation_ >= W) expire_watchdog();
    }

    void expire_watchdog() {
        opening_.reset();
        run([&] { return expire(master()); });
    }
    void reset() {
        opening_.reset();
        run([&] { return host_reset(master()); });
    }

    void run(int cycles) {
        for (int i = 0; i < cycles; ++i) step();
    }
    bool run_until(State state, int limit) {
        for (int i = 0; i < limit && master().state != state; ++i) step();
        return master().state == state;
    }

    // The last `count` cycles' transitions, for a failure message.
    std::string describe(int count) const {
        std::ostringstream out;
        for (const auto& [cycle, t] : history_)
            if (cycle > cycle_ - count) out << cycle << ' ' << core::info(t).name << '\n';
        return out.str();
    }

private:
    void take(const Bytes& reply) {
        namespace rule = core::session_opening;
        const bool in_session = master().state == State::session;
        if (rule::repeats(opening_.has_value(), opening_ ? *opening_ : Bytes{}, reply,
                          master().flag(core::Flag::second_session_frame_sent), in_session)) {
            master().last_reply = reply;
            return;
        }
        run([&] { return take_reply(master(), reply); });
        switch (rule::after_reply(reply, master().state == State::session)) {
            case rule::Update::remember: opening_ = reply; break;
            case rule::Update::forget: opening_.reset(); break;
            case rule::Update::keep: break;
        }
    }

    template <typename Event>
    void run(Event&& event) {
        const int activations = master().watchdog_activations;
        ASSERT_TRUE(event()) << master().failure;
        if (master().watchdog_activations != activations) last_activation_ = cycle_;
        note_transitions();
    }

    // Keeps the transitions, and checks that a reply the master takes to go on (not to restart)
    // was made by the slave after the master's last restart reached it.
    void note_transitions() {
        for (; noted_ < master().logged.size(); ++noted_) {
            const core::Transition t = master().logged[noted_];
            history_.emplace_back(cycle_, t);
            if (restarts(t)) restart_pending_ = true;
            if (takes(t)) {
                EXPECT_GE(taken_made_, restart_sent_ + to_slave.delay)
                    << "cycle " << cycle_ << ": " << core::info(t).name
                    << " on a reply the slave made before it saw the master's restart\n"
                    << describe(20);
            }
        }
    }

    Pair pair_;
    int cycle_ = 0;
    int last_activation_ = 0;
    int restart_sent_ = 0;  // the cycle the first request after the master's last restart went out
    bool restart_pending_ = true;
    int reply_made_ = 0;            // the cycle the slave made its current reply in
    int taken_made_ = 0;            // ... and the reply the master takes
    std::optional<Bytes> opening_;  // the slave Reset frame that opened the session
    std::size_t noted_ = 0;
    std::vector<std::pair<int, core::Transition>> history_;
};

enum class Fault { corrupt_to_slave, corrupt_to_master, slave_reset, host_reset, watchdog_twice };

struct Case {
    uint16_t size;
    int d_ms, d_sm;
    State state;
    Fault fault;
    int argument;  // the slave's error code, or the cycles between the two expiries

    std::string name() const {
        static const char* const states[] = {"Reset", "Session", "Connection", "Parameter", "Data"};
        static const char* const faults[] = {"corrupt to slave", "corrupt to master", "slave reset", "host reset",
                                             "watchdog twice"};
        return "size " + std::to_string(size) + ", latency " + std::to_string(d_ms) + "/" + std::to_string(d_sm) +
               ", " + states[static_cast<int>(state)] + ", " + faults[static_cast<int>(fault)] + " " +
               std::to_string(argument);
    }
};

void inject(Link& link, const Case& c, int at) {
    switch (c.fault) {
        case Fault::corrupt_to_slave: link.to_slave.hook = corrupt_at(at); break;
        case Fault::corrupt_to_master: link.to_master.hook = corrupt_at(at); break;
        case Fault::slave_reset:
            link.actions.emplace(at, [code = c.argument](Link& l) {
                l.slave().inject({slave::FaultKind::reset, static_cast<uint16_t>(code)});
            });
            break;
        case Fault::host_reset: link.actions.emplace(at, [](Link& l) { l.reset(); }); break;
        case Fault::watchdog_twice:
            link.actions.emplace(at, [](Link& l) { l.expire_watchdog(); });
            link.actions.emplace(at + c.argument, [](Link& l) { l.expire_watchdog(); });
            break;
    }
}

// Cycles from the fault back to Data for good: the watchdog may have to notice a frame lost to
// the fault and run out once more in Reset, then the start-up runs with a round trip of frames
// still in flight.
int bound(const Case& c) { return 2 * W + (startup(c.size) + 1) * (c.d_ms + c.d_sm + 1) + c.argument; }

std::vector<Case> grid() {
    std::vector<Case> cases;
    for (uint16_t size : {1, 2, 16})
        for (int d_ms = 1; d_ms <= 3; ++d_ms)
            for (int d_sm = 1; d_sm <= 3; ++d_sm)
                for (State state : {State::session, State::connection, State::parameter, State::data}) {
                    auto add = [&](Fault fault, int argument) {
                        cases.push_back({size, d_ms, d_sm, state, fault, argument});
                    };
                    add(Fault::corrupt_to_slave, 0);
                    add(Fault::corrupt_to_master, 0);
                    add(Fault::host_reset, 0);
                    for (int code : {0, 4, 5, 200}) add(Fault::slave_reset, code);
                    for (int gap = 0; gap <= 5; ++gap) add(Fault::watchdog_twice, gap);
                }
    return cases;
}

TEST(MasterOnALatencyLink, ReachesDataAtEveryLatency) {
    for (uint16_t size : {1, 2, 16})
        for (int d_ms = 1; d_ms <= 3; ++d_ms)
            for (int d_sm = 1; d_sm <= 3; ++d_sm) {
                Link link(d_ms, d_sm, size);
                EXPECT_TRUE(link.run_until(State::data, (startup(size) + 1) * (d_ms + d_sm + 1)))
                    << "size " << size << ", latency " << d_ms << "/" << d_sm << "\n"
                    << link.describe(40);
                EXPECT_TRUE(link.master().reports.empty()) << link.master().reports[0].text;
            }
}

TEST(MasterOnALatencyLink, ComesBackToDataAfterEveryFaultInEveryState) {
    int worst = 0;
    for (const Case& c : grid()) {
        SCOPED_TRACE(c.name());
        Link link(c.d_ms, c.d_sm, c.size);
        ASSERT_TRUE(link.run_until(c.state, 20 * (c.d_ms + c.d_sm + 1)));
        if (c.state == State::data) link.run(c.d_ms + c.d_sm + 2);  // both sides in Data
        ASSERT_EQ(link.master().state, c.state);
        const int start = link.cycle() + 1;
        inject(link, c, start);
        const int hold = W + 3 * (c.d_ms + c.d_sm + 1);  // Data outlasts what is still in flight
        bool left = false;
        int settled = -1;
        while (link.cycle() < start + bound(c) + hold && (settled < 0 || link.cycle() - settled < hold)) {
            link.step();
            const bool in_data = link.master().state == State::data;
            left = left || !in_data;
            if (!in_data) settled = -1;
            else if (left && settled < 0) settled = link.cycle();
        }
        ASSERT_TRUE(left) << "the fault went unnoticed";
        ASSERT_TRUE(settled >= 0 && link.cycle() - settled >= hold && settled - start <= bound(c))
            << (settled < 0 ? "never back in Data for good" : "back in Data after " + std::to_string(settled - start))
            << " (bound " << bound(c) << ")\n"
            << link.describe(40);
        worst = std::max(worst, settled - start);
    }
    RecordProperty("worst_recovery_cycles", worst);
}

// In Session, before the slave's first valid Session frame, a copy of the slave Reset frame that
// opened the session is that reset seen again; after a valid Session frame it is a new reset.
TEST(MasterOnALatencyLink, ACopyOfTheResetFrameThatOpenedTheSessionOpensNoOther) {
    for (const bool answered : {false, true}) {
        SCOPED_TRACE(answered ? "after a valid Session frame" : "before a valid Session frame");
        Link link(0, 0, answered ? 1 : 2);  // one byte per frame: the first valid answer stays in Session
        ASSERT_TRUE(link.run_until(State::data, 40));
        link.slave().inject({slave::FaultKind::reset, 4});
        ASSERT_TRUE(link.run_until(State::session, 3));
        const Bytes opening = *link.master().last_reply;
        ASSERT_EQ(opening[0], frame::command::reset);
        if (answered) {
            link.step();
            ASSERT_TRUE(link.master().flag(core::Flag::second_session_frame_sent));
            ASSERT_EQ(link.master().state, State::session);
        }
        if (!answered) {
            const int at = link.cycle() + 1;
            // The answer to an older Session frame comes first, so the copy is no unchanged reply.
            Bytes stale = opening;
            stale[0] = frame::command::session;
            std::fill(stale.begin() + 1, stale.end(), uint8_t{0});
            link.to_master.hook = [&](int cycle, Bytes frame) { return cycle == at ? stale : frame; };
            link.step();
            ASSERT_EQ(link.master().logged.back(), core::Transition::session_stay2);
        }
        const std::size_t logged = link.master().logged.size();
        const Bytes request = link.master().request;
        const int at = link.cycle() + 1;
        link.to_master.hook = [&](int cycle, Bytes frame) { return cycle == at ? opening : frame; };
        link.step();
        const std::vector<core::Transition> taken(link.master().logged.begin() + logged, link.master().logged.end());
        if (answered) {
            EXPECT_EQ(taken, std::vector<core::Transition>{core::Transition::session_reset1});
        } else {
            EXPECT_TRUE(taken.empty()) << core::info(taken[0]).name;
            EXPECT_EQ(link.master().request, request);
            EXPECT_EQ(link.master().state, State::session);
        }
        EXPECT_TRUE(link.run_until(State::data, 40)) << link.describe(40);
    }
}

}  // namespace

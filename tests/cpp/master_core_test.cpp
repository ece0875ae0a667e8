// The master core, one row per transition: from a state reached with the simulated slave, one
// event (a slave frame, a watchdog expiry, a host reset) must lead to the expected state, report,
// logged transition, watchdog restart and request. The request is checked as the slave sees
// it: the slave's core takes it without refusing it, and a Reset request carries the expected
// error code.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "master_pair.hpp"

namespace {

using namespace tamsel;
using namespace tamsel::testing;
using core::State;
using slave::FaultKind;

constexpr uint16_t wrong_connection_id = connection_id - 1;
constexpr uint16_t unknown_command = 0x77;

core::Transition transition_named(const std::string& name) {
    for (int i = 0; i < core::transition_count; ++i)
        if (name == core::transitions[i].name) return static_cast<core::Transition>(i);
    ADD_FAILURE() << "no transition " << name;
    return core::Transition::reset_ok;
}

// ---- the slave frames of the events ------------------------------------------------------------

Bytes good(Pair& p) { return p.answer(); }

template <FaultKind kind, uint16_t argument>
Bytes faulty(Pair& p) {
    p.slave.inject({kind, argument});
    return p.answer();
}

template <uint16_t command>
Bytes with_command(Pair& p) {
    return faulty<FaultKind::command, command>(p);
}

Bytes corrupt_crc(Pair& p) { return faulty<FaultKind::corrupt_crc, 0>(p); }

// A frame made by `make` with its first CRC broken in transit.
template <Bytes (*make)(Pair&)>
Bytes crc_broken(Pair& p) {
    Bytes frame = make(p);
    frame[3] ^= 0xFF;  // a byte of the first CRC in every frame size
    return frame;
}

// A frame made by `make` whose connection id was changed in transit.
template <Bytes (*make)(Pair&)>
Bytes id_broken(Pair& p) {
    Bytes frame = make(p);
    frame.back() ^= 0xFF;
    return frame;
}

Bytes corrupt_echo(Pair& p) {
    p.slave.corrupt_echo();
    return p.answer();
}

// The slave's answer changed by `change` and given CRCs over the change, keyed as the master
// expects the slave's frame (sequence number, CRC_0 of the request, the cyclic rule).
template <void (*change)(frame::Frame&)>
Bytes good_crcs_after(Pair& p) {
    const Bytes answer = p.answer();
    const Node& expected = p.master.slave;
    frame::Frame f;
    frame::parse_image(f, answer.data(), answer.size());
    f.control.sequence_number = expected.frame.control.sequence_number;
    f.control.crc0 = expected.frame.control.crc0;
    auto protect = [&] {
        if (expected.last_crc0_sent) frame::generate_crcs_cyclic(f, *expected.last_crc0_sent);
        else frame::generate_crcs(f);
    };
    protect();
    EXPECT_EQ(image_of(f), answer) << "the master expects other keys than the slave used";
    change(f);
    protect();
    return image_of(f);
}

void other_connection(frame::Frame& f) { f.control.connection_id = wrong_connection_id; }
void other_size(frame::Frame& f) { f.safe_data_size = static_cast<uint16_t>(f.safe_data_size + 2); }

constexpr auto wrong_id_good_crcs = good_crcs_after<other_connection>;
constexpr auto other_size_good_crcs = good_crcs_after<other_size>;

// ---- the table ---------------------------------------------------------------------------------

enum class Event { reply, watchdog, host_reset };

struct Row {
    const char* transition;
    State from;
    uint16_t size;         // safe-data bytes each way
    void (*setup)(Pair&);  // after `from` is reached, or nullptr
    Event event;
    Bytes (*reply)(Pair&);  // the slave frame of a reply event
    State to;
    const char* report;  // the text reported with the transition, or nullptr
    int error;           // the error code the next (Reset) request carries, or -1
    uint16_t request_command;
    void (*check)(Pair&);           // more to check afterwards, or nullptr
    const char* variant = nullptr;  // what tells a second row of the same transition apart

    std::string name() const { return variant ? std::string(transition) + "_" + variant : transition; }
};

void step(Pair& p) { ASSERT_TRUE(p.step()) << p.master.failure; }
void step3(Pair& p) {
    for (int i = 0; i < 3; ++i) step(p);
}
// Leaves Data through a bad slave CRC: the master is in Reset with INVALID_CRC.
void data_fail(Pair& p) {
    ASSERT_TRUE(p.reach(State::data));
    ASSERT_TRUE(take_reply(p.master, corrupt_crc(p)));
    ASSERT_EQ(p.master.master.session.error_id.raw, 4u);
}
// One valid process-data answer: the inputs hold the slave's values.
void inputs_taken(Pair& p) {
    p.slave.inputs()[0] = 0x5A;
    p.slave.inputs()[1] = 0xA5;
    step(p);
    ASSERT_FALSE(p.master.inputs_fail_safe);
}
void process_data_mode(Pair& p) {
    p.master.data_command = frame::command::process_data;
    p.master.outputs[0] = 0x3C;
    p.slave.inputs()[0] = 0x5A;
}

void session_opened(Pair& p) {
    EXPECT_NE(p.master.master.session.session_id.raw, first_session_id) << "no new session id";
    EXPECT_FALSE(p.master.flag(core::Flag::second_session_frame_sent));
    EXPECT_TRUE(p.master.inputs_fail_safe);
    EXPECT_EQ(p.master.data_command, frame::command::failsafe_data);
}
void first_session_request(Pair& p) {
    EXPECT_EQ(p.master.master.session.session_id.raw, first_session_id);
    EXPECT_EQ(p.master.master.frame.safe_data[0], first_session_id);
    EXPECT_FALSE(p.master.flag(core::Flag::generate_crcs_cyclic_for_next_frame));
}
void connection_prepared(Pair& p) {
    const Connection& m = p.master;
    ASSERT_EQ(m.master.map.count(), 2);
    EXPECT_EQ(m.master.map.items[0], &m.master.session.connection_id);
    EXPECT_EQ(m.master.map.items[1], &m.master.session.slave_address);
    ASSERT_EQ(m.slave.map.count(), 2);
    EXPECT_EQ(m.slave.map.items[0], &m.slave.session.connection_id);
    EXPECT_EQ(m.slave.map.items[1], &m.slave.session.slave_address);
}
// The Reset request sends the error code from its first byte (one byte per frame here).
void error_code_afresh(Pair& p) {
    const Connection& m = p.master;
    ASSERT_EQ(m.master.map.count(), 1);
    EXPECT_EQ(m.master.map.items[0], &m.master.session.error_id);
    EXPECT_EQ(m.master.map.cursor.bytes_processed, 1);
    EXPECT_EQ(m.slave.map.count(), 0);
}
void second_session_frame(Pair& p) { EXPECT_TRUE(p.master.flag(core::Flag::second_session_frame_sent)); }
void slave_sequence_restarted(Pair& p) {
    session_opened(p);
    EXPECT_EQ(p.master.slave.frame.control.sequence_number, 1);
    EXPECT_FALSE(p.master.flag(core::Flag::reset_slave_sequence_number_after_frame));
}
void fail_safe(Pair& p) {
    EXPECT_TRUE(p.master.inputs_fail_safe);
    EXPECT_EQ(p.master.data_command, frame::command::failsafe_data);
    EXPECT_FALSE(p.master.flag(core::Flag::generate_crcs_cyclic_for_next_frame));
}
void parameters_prepared(Pair& p) {
    EXPECT_EQ(p.master.master.session.app_parameter_size_bytes.raw, 1u);
    EXPECT_EQ(p.master.master.map.cursor.total_bytes, 7);
    EXPECT_EQ(p.master.slave.map.count(), 4);
    EXPECT_TRUE(p.master.flag(core::Flag::generate_crcs_cyclic_for_next_frame));
}
void parameters_echoed(Pair& p) {
    EXPECT_EQ(p.master.slave.session.watchdog_ms.raw, watchdog_ms);
    EXPECT_EQ(p.master.slave.application_parameters[0].raw, application_parameter);
}
void inputs_of_the_slave(Pair& p) {
    EXPECT_FALSE(p.master.inputs_fail_safe);
    EXPECT_EQ(p.master.inputs[0], 0x5A);
    EXPECT_EQ(p.slave.outputs()[0], 0x3C) << "the outputs did not reach the slave";
    EXPECT_FALSE(p.slave.outputs_fail_safe());
}
void inputs_fail_safe(Pair& p) { EXPECT_TRUE(p.master.inputs_fail_safe); }

constexpr const char* bad_command = "Invalid slave frame command";
constexpr const char* bad_crc = "Invalid slave CRC";
constexpr const char* expired = "The watchdog of the master expired";
constexpr const char* echo_session = "Data exchanged during session state does not match";
constexpr const char* echo_parameter = "Data exchanged during parameter state does not match";
constexpr const char* wrong_id = "Connection id exchanged does not match 771 != 772";
// The id of the slave's frame changed after its CRCs were computed (0x0304 ^ 0x5A5A).
constexpr const char* broken_id = "Connection id exchanged does not match 22878 != 772";

constexpr uint16_t RST = frame::command::reset, SES = frame::command::session, CON = frame::command::connection,
                   PAR = frame::command::parameter, PD = frame::command::process_data,
                   FS = frame::command::failsafe_data;
constexpr Event R = Event::reply, WD = Event::watchdog, HR = Event::host_reset;

// clang-format off
const Row rows[] = {
    // transition, from, size, setup, event, reply, to, report, error sent, request command, check
    {"RESET_OK", State::reset, 2, nullptr, R, good, State::session, nullptr, -1, SES, first_session_request},
    {"RESET_STAY1", State::reset, 1, data_fail, R, with_command<PD>, State::reset, bad_command, 0, RST,
     error_code_afresh},
    {"RESET_WD", State::reset, 2, nullptr, WD, nullptr, State::session, expired, -1, SES, first_session_request},
    {"RESET_START", State::reset, 2, nullptr, HR, nullptr, State::reset, nullptr, 0, RST, nullptr},

    {"SESSION_OK", State::session, 2, nullptr, R, good, State::connection, nullptr, -1, CON, connection_prepared},
    {"SESSION_FAIL1", State::session, 1, step, R, corrupt_crc, State::reset, bad_crc, 4, RST, fail_safe},
    {"SESSION_FAIL3", State::session, 2, nullptr, R, with_command<CON>, State::reset, bad_command, 1, RST, fail_safe},
    {"SESSION_FAIL4", State::session, 2, nullptr, R, with_command<unknown_command>, State::reset, bad_command, 2, RST,
     fail_safe},
    {"SESSION_STAY1", State::session, 1, nullptr, R, good, State::session, nullptr, -1, SES, second_session_frame},
    {"SESSION_STAY2", State::session, 2, nullptr, R, corrupt_crc, State::session, bad_crc, -1, SES, nullptr},
    {"SESSION_RESET1", State::session, 2, nullptr, R, faulty<FaultKind::reset, 4>, State::session,
     "Connection was reset by the slave (slave reported error INVALID_CRC)", -1, SES, slave_sequence_restarted},
    {"SESSION_RESET2", State::session, 2, nullptr, HR, nullptr, State::reset, nullptr, 0, RST, fail_safe},
    {"SESSION_WD", State::session, 2, nullptr, WD, nullptr, State::reset, expired, 5, RST, fail_safe},

    {"CONN_OK", State::connection, 2, step, R, good, State::parameter, nullptr, -1, PAR, parameters_prepared},
    {"CONN_FAIL1", State::connection, 2, nullptr, R, corrupt_crc, State::reset, bad_crc, 4, RST, fail_safe},
    {"CONN_FAIL2", State::connection, 2, nullptr, R, corrupt_echo, State::reset, echo_session, 7, RST, fail_safe},
    {"CONN_FAIL3", State::connection, 2, nullptr, R, wrong_id_good_crcs, State::reset, wrong_id, 3, RST, fail_safe},
    {"CONN_FAIL4", State::connection, 2, nullptr, R, with_command<SES>, State::reset, bad_command, 1, RST, fail_safe},
    {"CONN_FAIL5", State::connection, 2, nullptr, R, with_command<unknown_command>, State::reset, bad_command, 2, RST,
     fail_safe},
    {"CONNECTION_STAY1", State::connection, 2, nullptr, R, good, State::connection, nullptr, -1, CON, nullptr},
    {"CONN_RESET1", State::connection, 2, nullptr, R, faulty<FaultKind::reset, 0>, State::session,
     "Connection was reset by the slave (slave reported error RESET)", -1, SES, session_opened},
    {"CONN_RESET2", State::connection, 2, nullptr, HR, nullptr, State::reset, nullptr, 0, RST, fail_safe},
    {"CONN_WD", State::connection, 2, nullptr, WD, nullptr, State::reset, expired, 5, RST, fail_safe},

    {"PARA_OK", State::parameter, 2, step3, R, good, State::data, nullptr, -1, FS, parameters_echoed},
    {"PARA_FAIL1", State::parameter, 2, nullptr, R, corrupt_crc, State::reset, bad_crc, 4, RST, fail_safe},
    {"PARA_FAIL2", State::parameter, 2, step, R, corrupt_echo, State::reset, echo_parameter, 7, RST, fail_safe},
    {"PARA_FAIL3", State::parameter, 2, nullptr, R, wrong_id_good_crcs, State::reset, wrong_id, 3, RST, fail_safe},
    {"PARA_FAIL4", State::parameter, 2, nullptr, R, with_command<PD>, State::reset, bad_command, 1, RST, fail_safe},
    {"PARA_FAIL5", State::parameter, 2, nullptr, R, with_command<unknown_command>, State::reset, bad_command, 2, RST,
     fail_safe},
    {"PARA_STAY1", State::parameter, 1, nullptr, R, good, State::parameter, nullptr, -1, PAR, nullptr},
    {"PARA_RESET1", State::parameter, 2, nullptr, R, faulty<FaultKind::reset, 11>, State::session,
     "Connection was reset by the slave (slave reported error INVALID_USERPARA)", -1, SES, session_opened},
    {"PARA_RESET2", State::parameter, 2, nullptr, HR, nullptr, State::reset, nullptr, 0, RST, fail_safe},
    {"PARA_WD", State::parameter, 2, nullptr, WD, nullptr, State::reset, expired, 5, RST, fail_safe},

    {"DATA_OK1", State::data, 2, process_data_mode, R, good, State::data, nullptr, -1, PD, inputs_of_the_slave},
    {"DATA_OK2", State::data, 2, inputs_taken, R, [](Pair& p) { p.slave.fail_safe = true; return p.answer(); },
     State::data, nullptr, -1, FS, inputs_fail_safe},
    {"DATA_FAIL1", State::data, 2, inputs_taken, R, corrupt_crc, State::reset, bad_crc, 4, RST, fail_safe},
    {"DATA_FAIL1", State::data, 2, inputs_taken, R, other_size_good_crcs, State::reset, bad_crc, 4, RST, fail_safe,
     "other_size"},
    {"DATA_FAIL2", State::data, 16, inputs_taken, R, wrong_id_good_crcs, State::reset, wrong_id, 3, RST, fail_safe},
    {"DATA_FAIL3", State::data, 2, nullptr, R, with_command<SES>, State::reset, bad_command, 1, RST, fail_safe},
    {"DATA_FAIL4", State::data, 1, nullptr, R, with_command<unknown_command>, State::reset, bad_command, 2, RST,
     fail_safe},
    {"DATA_RESET1", State::data, 2, inputs_taken, R, faulty<FaultKind::reset, 200>, State::session,
     "Connection was reset by the slave (slave reported error INVALID_SAFEPARA_200)", -1, SES, session_opened},
    {"DATA_RESET2", State::data, 2, nullptr, HR, nullptr, State::reset, nullptr, 0, RST, fail_safe},
    {"DATA_WD", State::data, 2, nullptr, WD, nullptr, State::reset, expired, 5, RST, fail_safe},

    // The order of the checks: what is decided before the CRCs are looked at.
    {"RESET_OK", State::reset, 2, nullptr, R, corrupt_crc, State::session, nullptr, -1, SES, nullptr, "bad_crc"},
    {"CONN_FAIL3", State::connection, 2, nullptr, R, faulty<FaultKind::corrupt_connection_id, 0>, State::reset,
     broken_id, 3, RST, fail_safe, "bad_crc_too"},
    {"PARA_FAIL3", State::parameter, 1, nullptr, R, faulty<FaultKind::corrupt_connection_id, 0>, State::reset,
     broken_id, 3, RST, fail_safe, "bad_crc_too"},
    {"DATA_FAIL2", State::data, 2, inputs_taken, R, faulty<FaultKind::corrupt_connection_id, 0>, State::reset,
     broken_id, 3, RST, fail_safe, "bad_crc_too"},
    {"DATA_FAIL3", State::data, 2, nullptr, R, id_broken<with_command<SES>>, State::reset, bad_command, 1, RST,
     fail_safe, "wrong_id_too"},
    {"DATA_RESET1", State::data, 2, nullptr, R, crc_broken<faulty<FaultKind::reset, 5>>, State::session,
     "Connection was reset by the slave (slave reported error WD_EXPIRED)", -1, SES, session_opened, "bad_crc"},
    {"CONN_RESET1", State::connection, 2, nullptr, R, id_broken<faulty<FaultKind::reset, 3>>, State::session,
     "Connection was reset by the slave (slave reported error INVALID_CONNID)", -1, SES, session_opened, "wrong_id"},
};
// clang-format on

// Each row runs on the module's own state classes and on classes the host derived from them
// without changing anything, whose methods the rules then call instead.
class MasterTransition : public ::testing::TestWithParam<std::tuple<Row, bool>> {};

TEST_P(MasterTransition, LeadsToItsStateReportAndRequest) {
    const auto& [row, host_class] = GetParam();
    const core::Transition t = transition_named(row.transition);
    Pair p(row.size);
    Connection& m = p.master;
    ASSERT_TRUE(p.reach(row.from)) << m.failure;
    if (row.setup) row.setup(p);
    ASSERT_EQ(m.state, row.from);
    ASSERT_EQ(m.host_calls, 0) << "a host method was called for the module's own class";
    m.host_class = host_class;

    const std::size_t reports = m.reports.size(), logged = m.logged.size();
    const int activations = m.watchdog_activations;
    const Bytes previous_request = p.delivered;
    bool ok = false;
    Bytes reply;
    switch (row.event) {
        case Event::reply:
            reply = row.reply(p);
            ok = take_reply(m, reply);
            break;
        case Event::watchdog: ok = expire(m); break;
        case Event::host_reset: ok = host_reset(m); break;
    }
    ASSERT_TRUE(ok) << m.failure;

    EXPECT_EQ(m.state, row.to);
    EXPECT_EQ(std::vector<core::Transition>(m.logged.begin() + logged, m.logged.end()),
              std::vector<core::Transition>{t});
    const std::vector<Report> reported(m.reports.begin() + reports, m.reports.end());
    const std::vector<Report> expected_report = row.report ? std::vector<Report>{{t, row.report}}
                                                           : std::vector<Report>{};
    EXPECT_EQ(reported, expected_report);
    // Every transition restarts the watchdog except the one that keeps Reset going.
    EXPECT_EQ(m.watchdog_activations - activations, t == core::Transition::reset_stay1 ? 0 : 1);

    frame::Frame request;
    ASSERT_TRUE(frame::parse_image(request, m.request.data(), m.request.size()));
    EXPECT_EQ(request.control.command, row.request_command);
    const bool opening = row.request_command == RST || row.request_command == SES;
    EXPECT_EQ(request.control.connection_id, opening ? 0 : connection_id);
    if (row.error >= 0) {
        EXPECT_EQ(m.master.session.error_id.raw, static_cast<uint32_t>(row.error));
        EXPECT_EQ(request.safe_data[0] & 0xFF, row.error);
    }
    // The handler's bookkeeping: the CRC_0 each side sent last, the CRC rule of the next request.
    EXPECT_EQ(m.master.last_crc0_sent, request.crcs[0]);
    if (!reply.empty()) {
        frame::Frame received;
        frame::parse_image(received, reply.data(), reply.size());
        EXPECT_EQ(m.slave.last_crc0_sent, received.crcs[0]);
    }
    if (row.to != State::session) {
        EXPECT_EQ(m.flag(core::Flag::generate_crcs_cyclic_for_next_frame), row.to != State::reset);
    }
    // The slave takes the request: its CRCs, sequence number and connection id are right.
    slave::Outcome outcome;
    p.answer(&outcome);
    EXPECT_FALSE(outcome.rejected) << outcome.rejection.reason.data();
    EXPECT_TRUE(outcome.processed || m.request == previous_request) << "the slave took a new request for a repetition";
    if (row.error >= 0) {
        EXPECT_EQ(p.slave.master_error(), row.error);
    }
    if (row.check) row.check(p);
    if (host_class) {
        EXPECT_GT(m.host_calls, 0) << "the derived class's methods were not called";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, MasterTransition, ::testing::Combine(::testing::ValuesIn(rows), ::testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param).name() + (std::get<1>(info.param) ? "_host" : "");
                         });

// The two safe-data bytes that give a Data frame of these keys the CRC_0 `last`, if any.
std::optional<uint16_t> repeating_crc0(frame::Frame f, uint16_t last) {
    for (uint32_t x = 0; x <= 0xFFFF; ++x) {
        f.safe_data[0] = static_cast<uint16_t>(x);
        if (frame::calc_crc0(f) == last) return static_cast<uint16_t>(x);
    }
    return std::nullopt;
}

void put16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}
uint16_t get16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

frame::Frame data_frame(uint16_t command, const frame::FrameControl& keys) {
    frame::Frame f;
    f.control = keys;
    f.control.command = command;
    f.control.connection_id = connection_id;
    f.safe_data_size = 2;
    return f;
}

// Data whose CRC_0 would repeat the sender's last one, on each side: the sender steps its
// sequence number, and the receiver's cyclic check follows.
TEST(MasterCore, ARepeatedCrc0StepsTheSequenceNumberOnBothSides) {
    Pair p(2);
    Connection& m = p.master;
    ASSERT_TRUE(p.reach(State::data));
    m.data_command = frame::command::process_data;
    bool slave_stepped = false, master_stepped = false;
    for (int cycle = 0; cycle < 20 && !(slave_stepped && master_stepped); ++cycle) {
        // The slave's reply, keyed as the master expects it.
        std::optional<uint16_t> inputs;
        if (!slave_stepped && m.slave.last_crc0_sent)
            inputs = repeating_crc0(data_frame(frame::command::process_data, m.slave.frame.control),
                                    *m.slave.last_crc0_sent);
        if (inputs) put16(p.slave.inputs().data(), *inputs);
        const uint16_t slave_sequence = p.slave.sequence_number();
        slave::Outcome outcome;
        const Bytes reply = p.answer(&outcome);
        ASSERT_FALSE(outcome.rejected) << outcome.rejection.reason.data();
        frame::Frame received;
        frame::parse_image(received, reply.data(), reply.size());
        // The master's next request: keyed with the reply's CRC_0 and the master's sequence number.
        std::optional<uint16_t> outputs;
        frame::FrameControl keys = m.master.frame.control;
        keys.crc0 = received.crcs[0];
        if (!master_stepped) outputs = repeating_crc0(data_frame(m.data_command, keys), *m.master.last_crc0_sent);
        if (outputs) put16(m.outputs.data(), *outputs);
        const uint16_t master_sequence = m.master.frame.control.sequence_number;

        ASSERT_TRUE(take_reply(m, reply)) << m.failure;
        ASSERT_EQ(m.logged.back(), core::Transition::data_ok1);
        if (inputs) {
            EXPECT_EQ(p.slave.sequence_number(), slave_sequence + 2) << "the slave did not step past its CRC_0";
            EXPECT_EQ(get16(m.inputs.data()), *inputs);
            slave_stepped = true;
        }
        if (outputs) {
            EXPECT_EQ(m.master.frame.control.sequence_number, master_sequence + 2) << "the master did not step";
            master_stepped = true;
        }
    }
    EXPECT_TRUE(slave_stepped && master_stepped) << "no repeating CRC_0 found in 20 cycles";
    slave::Outcome outcome;
    p.answer(&outcome);
    EXPECT_FALSE(outcome.rejected) << outcome.rejection.reason.data();
    EXPECT_EQ(get16(p.slave.outputs().data()), get16(m.outputs.data()));
}

TEST(MasterTransitionTable, HasARowForEveryTransition) {
    std::set<std::string> named;
    for (const Row& row : rows) named.insert(row.transition);
    for (const core::TransitionInfo& info : core::transitions)
        EXPECT_TRUE(named.count(info.name)) << "no row for " << info.name;
    EXPECT_EQ(named.size(), static_cast<std::size_t>(core::transition_count)) << "a row names no transition";
}

}  // namespace

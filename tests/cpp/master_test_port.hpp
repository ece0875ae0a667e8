#pragma once
// The master's rules over plain data: a connection held in plain structs and a port whose every
// operation is the obvious change to them. It is the reference meaning of the port operations,
// and it lets the C++ tests drive the master core without an interpreter.
//
// `Connection` is what the handler holds (both nodes with their frames, sessions, dynamic maps
// and last CRC_0 sent, the flags, the data command, the dictionary's inputs and outputs) plus a
// record of what the rules did (reports, logged transitions, watchdog activations, error codes
// set). `TestPort` serves one event of the current state; `start`, `take_reply`, `expire` and
// `host_reset` are the handler's events around it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "core/master_cycle.hpp"
#include "core/master_rules.hpp"
#include "frame/frame.hpp"
#include "mapping/dynamic_cursor.hpp"

namespace tamsel::testing {

using Bytes = std::vector<uint8_t>;
using mapping::DynamicValue;

// The BaseError value of an error code the rules send.
constexpr uint16_t base_error(core::ErrorCode code) {
    switch (code) {
        case core::ErrorCode::reset: return 0;
        case core::ErrorCode::invalid_cmd: return 1;
        case core::ErrorCode::unknown_cmd: return 2;
        case core::ErrorCode::invalid_connid: return 3;
        case core::ErrorCode::invalid_crc: return 4;
        case core::ErrorCode::wd_expired: return 5;
        case core::ErrorCode::invalid_data: return 7;
        case core::ErrorCode::none: break;
    }
    return 0xFFFF;
}

// The name a received error code has as an FSOEError member, or its number.
inline std::string error_name(uint16_t code) {
    static constexpr const char* names[] = {"RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
                                            "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
                                            "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
                                            "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA"};
    if (code < std::size(names)) return names[code];
    if (code >= 128 && code <= 255) return "INVALID_SAFEPARA_" + std::to_string(code);
    return std::to_string(code);
}

using core::classify;
using core::command_code;

// Session ids are drawn from a fixed sequence that starts here.
inline constexpr uint16_t first_session_id = 0x1234;

struct Session {
    DynamicValue slave_address{0, 2}, session_id{0, 2}, error_id{0, 2}, connection_id{0, 2};
    DynamicValue comm_parameter_size_bytes{0, 2}, watchdog_ms{0, 2}, app_parameter_size_bytes{0, 2};

    DynamicValue& field(core::SessionField f) {
        switch (f) {
            case core::SessionField::slave_address: return slave_address;
            case core::SessionField::session_id: return session_id;
            case core::SessionField::error_id: return error_id;
            case core::SessionField::connection_id: break;
        }
        return connection_id;
    }
};

// A dynamic map: the items added, streamed by the map's own cursor.
struct DynamicMap {
    std::vector<DynamicValue*> items;
    mapping::DynamicCursor cursor;

    std::int64_t count() const { return static_cast<std::int64_t>(items.size()); }
    DynamicValue* operator()(std::int64_t i) { return items[static_cast<std::size_t>(i)]; }

    void clear() {
        items.clear();
        cursor.reset();
    }
    void add(DynamicValue& item) {
        items.push_back(&item);
        cursor.total_bytes += item.n_bytes;
    }
    // What the slave echoed so far equals what the master sent.
    bool echo_matches(const DynamicMap& sent) const {
        const std::size_t done = static_cast<std::size_t>(cursor.items_processed);
        for (std::size_t i = 0; i < done; ++i)
            if (items[i]->raw != sent.items[i]->raw) return false;
        return cursor.current_item_byte == 0 ||
               mapping::dynamic_prefix_equal(items[done]->raw, sent.items[done]->raw, cursor.current_item_byte);
    }
};

struct Node {
    frame::Frame frame;
    Session session;
    DynamicMap map;
    std::optional<uint16_t> last_crc0_sent;
    std::vector<DynamicValue> application_parameters;
    uint16_t safety_bytes = 0;  // the safe-data size of its dictionary map
};

struct Report {
    core::Transition transition;
    std::string text;
    bool operator==(const Report&) const = default;
};

struct Connection {
    Connection() = default;
    Connection(const Connection&) = delete;  // the dynamic maps point into the nodes
    Connection& operator=(const Connection&) = delete;

    Node master, slave;
    core::State state = core::State::reset;
    std::array<bool, 3> flags{};  // indexed by core::Flag
    uint16_t data_command = frame::command::failsafe_data;
    uint16_t initialization_bytes = 0;
    uint16_t next_session_id = first_session_id;
    std::array<uint8_t, frame::MAX_DATA_BYTES> outputs{};
    std::array<uint8_t, frame::MAX_DATA_BYTES> inputs{};
    bool inputs_fail_safe = true;
    Bytes reply;  // the bytes of the reply being processed
    bool reply_oversized = false;
    Bytes request;  // the last request computed
    std::optional<Bytes> last_reply;
    // What the rules did.
    std::vector<Report> reports;
    std::vector<core::Transition> logged;
    int watchdog_activations = 0;
    std::vector<uint16_t> errors_set;
    std::string failure;      // why an operation failed
    bool host_class = false;  // the state object is of a class the host derived
    int host_calls = 0;       // calls of the state object's own methods

    bool flag(core::Flag f) const { return flags[static_cast<int>(f)]; }
};

class TestPort {
public:
    using Next = std::optional<core::State>;
    using Text = std::string;

    explicit TestPort(Connection& c) : c_(c) {}

    Next next(core::State state) const { return state; }

    // Frames.
    bool set_crc0(core::Side side, uint16_t value) {
        node(side).frame.control.crc0 = value;
        return true;
    }
    bool set_sequence_number(core::Side side, uint16_t value) {
        node(side).frame.control.sequence_number = value;
        return true;
    }
    bool set_master_command(core::Command command) {
        c_.master.frame.control.command = command_code(command);
        return true;
    }
    bool slave_command(core::Command& out) {
        out = classify(c_.slave.frame.control.command);
        return true;
    }
    int connection_id_matches(Text& mismatch) {
        const unsigned received = c_.slave.frame.control.connection_id;
        const unsigned own = c_.master.session.connection_id.raw;
        if (received == own) return 1;
        mismatch = "Connection id exchanged does not match " + std::to_string(received) + " != " + std::to_string(own);
        return 0;
    }
    bool slave_reset_message(Text& out) {
        out = "Connection was reset by the slave (slave reported error " +
              error_name(static_cast<uint16_t>(c_.slave.session.error_id.raw)) + ")";
        return true;
    }
    int check_received_crcs() { return core::verify_received_crcs(*this); }
    bool reply_oversized() const { return c_.reply_oversized; }
    int reply_size_matches() const { return c_.slave.frame.safe_data_size == c_.slave.safety_bytes; }
    int slave_last_crc0_known() const { return c_.slave.last_crc0_sent.has_value(); }
    int check_slave_crcs(bool cyclic) {
        frame::CrcWords calculated{};
        return cyclic ? frame::check_crcs_cyclic(c_.slave.frame, *c_.slave.last_crc0_sent, calculated)
                      : frame::check_crcs(c_.slave.frame, calculated);
    }

    // Handler.
    bool log(core::Transition t) {
        c_.logged.push_back(t);
        return true;
    }
    bool report(core::Transition t, core::Message message) { return report(t, Text(core::text(message))); }
    bool report(core::Transition t, const Text& message) {
        c_.reports.push_back({t, message});
        return true;
    }
    bool set_flag(core::Flag f, bool value) {
        c_.flags[static_cast<int>(f)] = value;
        return true;
    }
    int get_flag(core::Flag f) { return c_.flag(f); }
    bool set_data_command_failsafe() {
        c_.data_command = frame::command::failsafe_data;
        return true;
    }
    bool activate_watchdog() {
        ++c_.watchdog_activations;
        return true;
    }
    bool create_session_id() {
        set_flag(core::Flag::second_session_frame_sent, false);
        c_.master.session.session_id.raw = c_.next_session_id;
        c_.next_session_id = static_cast<uint16_t>(c_.next_session_id * 31 + 7);
        return true;
    }
    int dynamic_map_pending() { return c_.master.map.cursor.pending() || c_.slave.map.cursor.pending(); }

    // Nodes, sessions, maps.
    bool set_inputs_to_failsafe() {
        c_.inputs.fill(0);
        c_.inputs_fail_safe = true;
        return true;
    }
    bool set_master_error(core::ErrorCode code) {
        c_.master.session.error_id.raw = base_error(code);
        c_.errors_set.push_back(base_error(code));
        return true;
    }
    bool clear_dynamic_map(core::Side side) {
        node(side).map.clear();
        return true;
    }
    bool add_session_item(core::Side side, core::SessionField f) {
        node(side).map.add(node(side).session.field(f));
        return true;
    }
    bool clear_master_last_crc0() {
        c_.master.last_crc0_sent.reset();
        return true;
    }
    int slave_echo_correct() { return c_.slave.map.echo_matches(c_.master.map); }
    bool map_master_outputs() {
        c_.master.frame.control.command = c_.data_command;
        return frame::set_safe_data_bytes(c_.master.frame, c_.outputs.data(), c_.master.frame.safe_data_size);
    }
    bool read_slave_inputs() {
        frame::get_safe_data_bytes(c_.slave.frame, c_.inputs);
        std::fill(c_.inputs.begin() + c_.slave.safety_bytes, c_.inputs.end(), uint8_t{0});
        c_.inputs_fail_safe = false;
        return true;
    }
    bool set_master_parameter_sizes() {
        Session& s = c_.master.session;
        s.comm_parameter_size_bytes.raw = 2;
        s.app_parameter_size_bytes.raw = 0;
        for (const DynamicValue& p : c_.master.application_parameters) s.app_parameter_size_bytes.raw += p.n_bytes;
        return true;
    }
    bool clear_slave_parameters() {
        Session& s = c_.slave.session;
        s.comm_parameter_size_bytes.raw = s.watchdog_ms.raw = s.app_parameter_size_bytes.raw = 0;
        for (DynamicValue& p : c_.slave.application_parameters) p.raw = 0;
        return true;
    }
    bool map_parameters(core::Side side) {
        Node& n = node(side);
        n.map.clear();
        for (DynamicValue* item :
             {&n.session.comm_parameter_size_bytes, &n.session.watchdog_ms, &n.session.app_parameter_size_bytes})
            n.map.add(*item);
        for (DynamicValue& p : n.application_parameters) n.map.add(p);
        return true;
    }

    // The state object is the module's class of the current state, or with `host_class` a class
    // the host derived from it without changing anything: its methods do what the module's do.
    bool self_is(core::State state) const { return !c_.host_class && state == c_.state; }
    bool self_is_module_class() const { return !c_.host_class; }
    Next call_action(core::Transition t) {
        ++c_.host_calls;
        return core::perform(*this, t);
    }
    Next call_reset_session() {
        ++c_.host_calls;
        return core::new_session_procedure(*this);
    }
    int call_check_received_crcs() {
        ++c_.host_calls;
        return check_received_crcs();
    }
    bool call_map_frame() {
        ++c_.host_calls;
        if (c_.state == core::State::connection) return fail("'StateConnection' object has no attribute 'map_frame'");
        return core::map_frame(*this, c_.state) == 0;
    }
    bool call_calculate_master_size_bytes() {
        ++c_.host_calls;
        return set_master_parameter_sizes();
    }
    bool call_clear_slave_parameters() {
        ++c_.host_calls;
        return clear_slave_parameters();
    }
    bool call_map_node(core::Side side) {
        ++c_.host_calls;
        return map_parameters(side);
    }

    // The cycle.
    core::RequestKind request_kind() const {
        switch (c_.state) {
            case core::State::reset: return core::RequestKind::reset;
            case core::State::session: return core::RequestKind::session;
            case core::State::data: return core::RequestKind::data;
            default: return core::RequestKind::other;
        }
    }
    bool fill_request_from_state() { return core::map_frame(*this, c_.state) == 0; }
    bool fill_request_from_dynamic_map() {
        std::array<uint8_t, frame::MAX_DATA_BYTES> data{};
        std::ptrdiff_t written = 0;
        DynamicMap& map = c_.master.map;
        if (map.cursor.current_item < map.count() && c_.initialization_bytes <= c_.master.frame.safe_data_size)
            written = map.cursor.put(map, std::span(data.data(), c_.initialization_bytes));
        return written >= 0 && frame::set_safe_data_bytes(c_.master.frame, data.data(), static_cast<size_t>(written));
    }
    bool stamp_connection_id(bool zero) {
        c_.master.frame.control.connection_id = zero ? 0 : static_cast<uint16_t>(c_.master.session.connection_id.raw);
        return true;
    }
    bool generate_request_crcs(bool cyclic) {
        if (!cyclic) {
            frame::generate_crcs(c_.master.frame);
            return true;
        }
        if (!c_.master.last_crc0_sent) return fail("Cannot generate cyclic CRCs without a last CRC sent");
        frame::generate_crcs_cyclic(c_.master.frame, *c_.master.last_crc0_sent);
        return true;
    }
    bool remember_crc0(core::Side side) {
        node(side).last_crc0_sent = node(side).frame.crcs[0];
        return true;
    }
    bool copy_crc0(core::Side from) {
        node(from == core::Side::master ? core::Side::slave : core::Side::master).frame.control.crc0 =
            node(from).frame.crcs[0];
        return true;
    }
    bool increment_sequence_number(core::Side side) {
        node(side).frame.control.increment_sequence_number();
        return true;
    }
    bool parse_reply() {
        c_.reply_oversized = core::reply_oversized(c_.reply.size());
        return frame::parse_image(c_.slave.frame, c_.reply.data(), core::parsed_length(c_.reply.size()));
    }
    int slave_command_is_reset() const { return c_.slave.frame.control.command == frame::command::reset; }
    bool receive_dynamic_map() {
        std::array<uint8_t, frame::MAX_DATA_BYTES> data{};
        DynamicMap& map = c_.slave.map;
        if (c_.initialization_bytes > c_.slave.frame.safe_data_size || map.cursor.current_item >= map.count())
            return true;
        frame::get_safe_data_bytes(c_.slave.frame, data);
        return map.cursor.take(map, std::span<const uint8_t>(data.data(), c_.initialization_bytes));
    }
    Next frame_received_event() { return core::frame_received(*this, c_.state); }

private:
    Node& node(core::Side side) { return side == core::Side::master ? c_.master : c_.slave; }
    bool fail(const char* why) {
        c_.failure = why;
        return false;
    }

    Connection& c_;
};

// ---- the handler's events ------------------------------------------------------------------

// The next request, computed from the current state.
inline bool recompute_request(Connection& c) {
    TestPort port(c);
    if (!core::compute_request(port)) return false;
    std::array<uint8_t, frame::MAX_IMAGE_BYTES> image{};
    c.request.assign(image.begin(), image.begin() + frame::build_image(c.master.frame, image));
    return true;
}

// Runs an event of the current state and installs the state it leads to; then the request.
template <typename Event>
bool run(Connection& c, Event&& event) {
    TestPort port(c);
    const TestPort::Next next = event(port);
    if (!next) return false;
    c.state = *next;
    return recompute_request(c);
}

// What a handler's `start` does on a connection of these sizes (safe-data bytes each way).
inline bool start(Connection& c, uint16_t outputs_size, uint16_t inputs_size) {
    c.master.frame.safe_data_size = c.master.safety_bytes = outputs_size;
    c.slave.frame.safe_data_size = c.slave.safety_bytes = inputs_size;
    c.initialization_bytes = std::min(outputs_size, inputs_size);
    return run(c, [&](TestPort& p) { return core::reset_connection(p, c.state); });
}

inline bool expire(Connection& c) {
    return run(c, [&](TestPort& p) { return core::watchdog_expired(p, c.state); });
}

inline bool host_reset(Connection& c) {
    return run(c, [&](TestPort& p) { return core::reset_connection(p, c.state); });
}

// A received reply, as the handler's cycle takes it (the caller applies the new-frame rule).
inline bool take_reply(Connection& c, const Bytes& reply) {
    c.last_reply = reply;
    c.reply = reply;
    return run(c, [](TestPort& p) { return core::process_reply(p); });
}

// A master side configured like a handler: its node's session values and parameters.
inline void configure(Connection& c, uint16_t slave_address, uint16_t connection_id, uint16_t watchdog_ms,
                      const std::vector<DynamicValue>& application_parameters) {
    c.master.session.slave_address.raw = slave_address;
    c.master.session.connection_id.raw = connection_id;
    c.master.session.watchdog_ms.raw = watchdog_ms;
    c.master.application_parameters = application_parameters;
    c.slave.application_parameters.clear();
    for (const DynamicValue& p : application_parameters) c.slave.application_parameters.push_back({0, p.n_bytes});
}

}  // namespace tamsel::testing

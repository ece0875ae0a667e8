#pragma once
// A simulated FSoE slave: answers each master frame image as a correct slave does, checks the
// master's frames as a real slave would, and sends injected faults on request.
//
// Bookkeeping. Every slave frame is keyed with the CRC_0 of the request it answers and with the
// slave's own sequence number (1 after each reset, stepped by every frame sent and by the
// cyclic rule against the slave's previous CRC_0). The master's frames are expected with the
// sequence number 1 and reference 0 after a reset, then stepped per frame and keyed with the
// CRC_0 of the slave's previous frame; the master applies the cyclic rule from its first
// Connection frame on until it resets.
//
// From the master's first Session frame on, the slave supervises the time between new frames
// with the configured watchdog time and answers a late frame with a WD_EXPIRED reset.
//
// Allocation-free: the last request and reply are kept in fixed buffers. What every frame reads
// and writes lies together after the configuration's scalars; the start-up streams, the fault
// queue's entries and the application parameters lie apart.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "frame/control.hpp"
#include "frame/frame.hpp"
#include "slave/config.hpp"
#include "slave/faults.hpp"

namespace tamsel::slave {

enum class Phase : uint8_t { reset, session, connection, parameter, data };

inline constexpr const char* phase_name(Phase phase) {
    constexpr const char* names[] = {"RESET", "SESSION", "CONNECTION", "PARAMETER", "DATA"};
    return names[static_cast<std::size_t>(phase)];
}

inline constexpr const char* command_name(uint16_t code) {
    for (const frame::CommandCode& entry : frame::command_codes)
        if (entry.code == code) return entry.name;
    return "UNKNOWN";
}

// A master frame the slave refused: the error code and a readable reason.
struct Rejection {
    uint16_t error = 0;
    std::array<char, 96> reason{};
};

// What one call of SlaveCore::reply did.
struct Outcome {
    bool processed = false;  // a new request was answered (not a repeat, not silence)
    bool rejected = false;   // `rejection` holds what the slave refused
    Rejection rejection;
    Fault fault;  // the fault sent in this reply, kind none if none
};

class SlaveCore {
public:
    static constexpr uint16_t wrong_connection_id_mask = 0x5A5A;

    // `config` must have frame sizes (is_frame_size) and at most MAX_APP_PARAMETER_BYTES.
    explicit SlaveCore(const Config& config)
        : config_(config),
          chunk_(chunk_bytes(config)),
          connection_(connection_stream(config)),
          parameters_(parameter_stream(config)) {
        reset_link();
    }

    // Answers a master frame image arriving at `now_ms` (any monotonic millisecond clock).
    // A request equal to the last one processed, or a call while silent, changes nothing:
    // the last reply stays the answer.
    Outcome reply(const uint8_t* request, std::size_t length, uint64_t now_ms) {
        Outcome outcome;
        if (silent_cycles_ > 0) {
            --silent_cycles_;
            return outcome;
        }
        if (is_last_request(request, length)) return outcome;
        remember_request(request, length);
        ++requests_;
        outcome.processed = true;
        outcome.fault = faults_.pop();
        const bool parsed = length == frame::image_length(config_.outputs_size);
        const bool expired = watchdog_expired(now_ms);
        last_frame_ms_ = now_ms;
        const std::optional<uint16_t> error = receive(request, length, expired, outcome);
        const uint16_t answered_crc0 = parsed ? first_crc(rx_) : 0;
        if (outcome.fault.kind == FaultKind::reset) send_reset(outcome.fault.argument, outcome.fault);
        else if (error) send_reset(*error, outcome.fault);
        else if (rx_.control.command == frame::command::reset) send_reset(error::reset, outcome.fault);
        else answer(answered_crc0, outcome.fault);
        return outcome;
    }

    // The last reply sent (empty before the first).
    const uint8_t* reply_data() const { return reply_.data(); }
    std::size_t reply_length() const { return reply_length_; }

    // Queues a fault for the next new reply; false when the queue is full.
    bool inject(Fault fault) { return faults_.push(fault); }
    void corrupt_echo() { echo_fault_ = true; }
    void silence(uint32_t cycles) {
        silent_cycles_ = cycles > UINT32_MAX - silent_cycles_ ? UINT32_MAX : silent_cycles_ + cycles;
    }
    bool pending_faults() const { return !faults_.empty() || echo_fault_ || silent_cycles_ > 0; }
    void clear_faults() {
        faults_.clear();
        echo_fault_ = false;
        silent_cycles_ = 0;
    }

    const Config& config() const { return config_; }
    std::size_t chunk() const { return chunk_; }
    Phase phase() const { return phase_; }
    uint16_t sequence_number() const { return tx_sequence_; }
    uint64_t requests() const { return requests_; }
    std::optional<uint16_t> master_session_id() const { return master_session_id_; }
    std::optional<uint16_t> master_error() const { return master_error_; }

    // Safe data of the last Data frame of the master, and whether it was FAILSAFE_DATA.
    const std::array<uint8_t, frame::MAX_DATA_BYTES>& outputs() const { return outputs_; }
    bool outputs_fail_safe() const { return outputs_fail_safe_; }

    // What Data replies carry; FAILSAFE_DATA with zero data while fail_safe is set.
    std::array<uint8_t, frame::MAX_DATA_BYTES>& inputs() { return inputs_; }
    const std::array<uint8_t, frame::MAX_DATA_BYTES>& inputs() const { return inputs_; }
    bool fail_safe = false;

private:
    using Bytes = std::array<uint8_t, frame::MAX_DATA_BYTES>;

    static uint16_t first_crc(const frame::Frame& f) { return f.slots() ? f.crcs[0] : 0; }

    static uint16_t next_sequence(uint16_t sequence) {
        frame::FrameControl control;
        control.sequence_number = sequence;
        control.increment_sequence_number();
        return control.sequence_number;
    }

    bool is_last_request(const uint8_t* request, std::size_t length) const {
        return has_last_request_ && length == last_request_length_ &&
               std::equal(request, request + length, last_request_.begin());
    }

    void remember_request(const uint8_t* request, std::size_t length) {
        has_last_request_ = length <= last_request_.size();
        if (!has_last_request_) return;
        std::copy_n(request, length, last_request_.begin());
        last_request_length_ = length;
    }

    void reset_link() {
        phase_ = Phase::reset;
        tx_sequence_ = 1;
        rx_sequence_ = 1;
        rx_crc0_ = 0;
        session_bytes_ = 0;
        session_sent_ = 0;
        connection_received_ = 0;
        parameters_received_ = 0;
    }

    template <typename... Args>
    static void record(Outcome& outcome, uint16_t error, const char* format, Args... args) {
        outcome.rejected = true;
        outcome.rejection.error = error;
        std::snprintf(outcome.rejection.reason.data(), outcome.rejection.reason.size(), format, args...);
    }

    // Checks the CRCs of rx_ keyed with (sequence, crc0); with `last` the cyclic rule steps the
    // sequence number first. Returns the sequence number used, or nothing when a CRC is wrong.
    // The first pass computes CRC_0 at `sequence`; only when that equals `last` (or there is no
    // slot to compute it from) does the cyclic rule step and check again.
    std::optional<uint16_t> check(uint16_t sequence, uint16_t crc0, std::optional<uint16_t> last) {
        rx_.control.sequence_number = sequence;
        rx_.control.crc0 = crc0;
        frame::CrcWords calculated{};
        bool valid = frame::check_crcs(rx_, calculated);
        if (last && (rx_.slots() == 0 || calculated[0] == *last))
            valid = frame::check_crcs_cyclic(rx_, *last, calculated);
        if (!valid) return std::nullopt;
        return rx_.control.sequence_number;
    }

    // Parses and checks a master frame; returns the error code to answer with, if any.
    bool watchdog_expired(uint64_t now_ms) const {
        return config_.supervise && phase_ != Phase::reset && now_ms - last_frame_ms_ > config_.watchdog_ms;
    }

    std::optional<uint16_t> receive(const uint8_t* request, std::size_t length, bool expired, Outcome& outcome) {
        const std::size_t expected = frame::image_length(config_.outputs_size);
        if (length != expected) {
            record(outcome, error::invalid_crc, "frame of %zu bytes, expected %zu", length, expected);
            return error::invalid_crc;
        }
        frame::parse_image(rx_, request, length);
        const uint16_t crc0_key = rx_crc0_;
        const std::optional<uint16_t> last_master_crc0 = rx_last_crc0_;
        rx_last_crc0_ = first_crc(rx_);
        const uint16_t command = rx_.control.command;
        if (!frame::is_command(command)) {
            record(outcome, error::unknown_cmd, "unknown command 0x%02X", command);
            return error::unknown_cmd;
        }
        if (command == frame::command::reset) {
            master_cyclic_ = false;
            master_error_ = rx_.safe_data[0];
            if (!check(1, 0, std::nullopt)) record(outcome, error::invalid_crc, "invalid CRC in a Reset frame");
            else if (rx_.control.connection_id != 0)
                record(outcome, error::invalid_connid, "connection id %u in a Reset frame",
                       unsigned{rx_.control.connection_id});
            return std::nullopt;
        }
        if (expired) {
            record(outcome, error::wd_expired, "watchdog expired: no frame for more than %u ms",
                   unsigned{config_.watchdog_ms});
            return error::wd_expired;
        }
        if (!allowed(command)) {
            record(outcome, error::invalid_cmd, "%s not allowed in phase %s", command_name(command),
                   phase_name(phase_));
            return error::invalid_cmd;
        }
        if (command == frame::command::connection) master_cyclic_ = true;
        std::optional<uint16_t> used = check(rx_sequence_, crc0_key, master_cyclic_ ? last_master_crc0 : std::nullopt);
        if (!used && command == frame::command::session && phase_ == Phase::session && check(1, 0, std::nullopt)) {
            restart_session();
            used = 1;
        }
        if (!used) {
            record(outcome, error::invalid_crc, "invalid CRC (%s, sequence %u)", command_name(command),
                   unsigned{rx_sequence_});
            return error::invalid_crc;
        }
        rx_sequence_ = next_sequence(*used);
        const uint16_t expected_id = command == frame::command::session ? 0 : config_.connection_id;
        if (rx_.control.connection_id != expected_id) {
            record(outcome, error::invalid_connid, "connection id %u != %u", unsigned{rx_.control.connection_id},
                   unsigned{expected_id});
            return error::invalid_connid;
        }
        return take_data(command, outcome);
    }

    // A Session frame keyed as the first of a session (sequence number 1, reference 0) while a
    // session is half open: the master has opened a new one. It starts afresh, keyed as the
    // half-open one started, so the same opening frame delivered again gets the same answer.
    void restart_session() {
        reset_link();
        tx_last_crc0_ = session_start_crc0_;
    }

    bool allowed(uint16_t command) const {
        auto connection_done = [this] { return connection_received_ == connection_.length; };
        auto parameters_done = [this] { return parameters_received_ == parameters_.length; };
        switch (command) {
            case frame::command::session: return phase_ == Phase::reset || phase_ == Phase::session;
            case frame::command::connection:
                return (phase_ == Phase::session && session_bytes_ >= 2) ||
                       (phase_ == Phase::connection && !connection_done());
            case frame::command::parameter:
                return (phase_ == Phase::connection && connection_done()) ||
                       (phase_ == Phase::parameter && !parameters_done());
            default:  // PROCESS_DATA, FAILSAFE_DATA
                return phase_ == Phase::data || (phase_ == Phase::parameter && parameters_done());
        }
    }

    // Takes the data of an accepted frame; returns the error code of a wrong start-up byte.
    std::optional<uint16_t> take_data(uint16_t command, Outcome& outcome) {
        Bytes safe{};
        frame::get_safe_data_bytes(rx_, safe);
        if (command == frame::command::session) {
            if (phase_ == Phase::reset) {
                phase_ = Phase::session;
                master_session_id_ = 0;
                session_start_crc0_ = tx_last_crc0_;
            }
            for (std::size_t i = 0; i < chunk_ && session_bytes_ < 2; ++i, ++session_bytes_)
                *master_session_id_ = static_cast<uint16_t>(*master_session_id_ | safe[i] << (8 * session_bytes_));
            return std::nullopt;
        }
        if (command == frame::command::connection) {
            phase_ = Phase::connection;
            return take_stream(connection_, connection_received_, safe, outcome);
        }
        if (command == frame::command::parameter) {
            phase_ = Phase::parameter;
            return take_stream(parameters_, parameters_received_, safe, outcome);
        }
        phase_ = Phase::data;
        outputs_ = safe;
        std::fill(outputs_.begin() + config_.outputs_size, outputs_.end(), uint8_t{0});
        outputs_fail_safe_ = command == frame::command::failsafe_data;
        return std::nullopt;
    }

    std::optional<uint16_t> take_stream(const Stream& stream, std::size_t& received, const Bytes& safe,
                                        Outcome& outcome) {
        const std::size_t take = std::min(chunk_, stream.length - received);
        for (std::size_t i = 0; i < take; ++i, ++received) {
            if (safe[i] == stream.bytes[received]) continue;
            const uint16_t code = stream_error(stream, received);
            record(outcome, code, "byte %zu of the %s data is %u, expected %u", received,
                   &stream == &connection_ ? "connection" : "parameter", unsigned{safe[i]},
                   unsigned{stream.bytes[received]});
            received += take - i;
            return code;
        }
        return std::nullopt;
    }

    uint16_t stream_error(const Stream& stream, std::size_t position) const {
        if (&stream == &connection_) return position < 2 ? error::invalid_connid : error::invalid_address;
        if (position < 2) return error::invalid_commparalen;
        if (position < 4) return error::invalid_compara;
        if (position < 6) return error::invalid_userparalen;
        return error::invalid_userpara;
    }

    void answer(uint16_t answered_crc0, Fault& fault) {
        const uint16_t command = rx_.control.command;
        Bytes safe{};
        uint16_t reply_command = command;
        uint16_t connection_id = config_.connection_id;
        if (command == frame::command::session) {
            const uint8_t own[2] = {static_cast<uint8_t>(config_.session_id),
                                    static_cast<uint8_t>(config_.session_id >> 8)};
            for (std::size_t i = 0; i < chunk_ && session_sent_ < 2; ++i) safe[i] = own[session_sent_++];
            connection_id = 0;
        } else if (command == frame::command::connection || command == frame::command::parameter) {
            Bytes received{};
            frame::get_safe_data_bytes(rx_, received);
            std::copy_n(received.begin(), chunk_, safe.begin());
            if (echo_fault_) {
                safe[0] ^= 0x01;
                echo_fault_ = false;
                if (fault.kind == FaultKind::none) fault.kind = FaultKind::corrupt_echo;
            }
        } else if (fail_safe) {
            reply_command = frame::command::failsafe_data;
        } else {
            reply_command = frame::command::process_data;
            safe = inputs_;
        }
        send(reply_command, connection_id, safe, answered_crc0, fault);
    }

    // A Reset frame starts the connection afresh, so it is keyed as the first frame of one:
    // sequence number 1, reference 0 and no earlier CRC_0 to step past, as the master keys its
    // own Reset frames. It then depends on the error code alone: acknowledging a master Reset
    // that the bus delivers twice gives the same frame again, never a second reset.
    void send_reset(uint16_t code, const Fault& fault) {
        Bytes safe{};
        safe[0] = static_cast<uint8_t>(code);
        safe[1] = static_cast<uint8_t>(code >> 8);
        tx_sequence_ = 1;
        tx_last_crc0_.reset();
        send(frame::command::reset, 0, safe, 0, fault);
        reset_link();
    }

    void send(uint16_t command, uint16_t connection_id, const Bytes& safe, uint16_t answered_crc0, const Fault& fault) {
        if (fault.kind == FaultKind::command) command = fault.argument;
        tx_ = frame::Frame{};
        tx_.control.command = command;
        tx_.control.connection_id = connection_id;
        tx_.control.sequence_number = tx_sequence_;
        tx_.control.crc0 = answered_crc0;
        tx_.safe_data_size = config_.inputs_size;
        frame::set_safe_data_bytes(tx_, safe.data(), config_.inputs_size);
        if (tx_last_crc0_) frame::generate_crcs_cyclic(tx_, *tx_last_crc0_);
        else frame::generate_crcs(tx_);
        const uint16_t used = tx_.control.sequence_number;
        if (fault.kind == FaultKind::corrupt_crc && fault.argument < tx_.slots()) tx_.crcs[fault.argument] ^= 0xFFFF;
        if (fault.kind == FaultKind::corrupt_connection_id) tx_.control.connection_id ^= wrong_connection_id_mask;
        tx_sequence_ = next_sequence(used);
        tx_last_crc0_ = first_crc(tx_);
        // The master keys its next frame with the CRC_0 it received in this one.
        rx_crc0_ = first_crc(tx_);
        reply_length_ = frame::build_image(tx_, reply_);
    }

    Config config_;  // its scalars first, the application parameters after them

    // What every frame reads and writes.
    uint32_t silent_cycles_ = 0;
    Phase phase_ = Phase::reset;
    bool has_last_request_ = false;
    bool master_cyclic_ = false;
    bool outputs_fail_safe_ = true;
    bool echo_fault_ = false;
    // Transmit side: own sequence number and last CRC_0.
    uint16_t tx_sequence_ = 1;
    std::optional<uint16_t> tx_last_crc0_;
    std::optional<uint16_t> session_start_crc0_;  // tx_last_crc0_ when the session began
    // Receive side: what the master's next frame is expected to be keyed with.
    uint16_t rx_sequence_ = 1;
    uint16_t rx_crc0_ = 0;
    std::optional<uint16_t> rx_last_crc0_;
    std::size_t last_request_length_ = 0;
    std::size_t reply_length_ = 0;
    uint64_t requests_ = 0;
    uint64_t last_frame_ms_ = 0;
    frame::Frame rx_{};
    frame::Frame tx_{};
    std::array<uint8_t, frame::MAX_IMAGE_BYTES> last_request_{};
    std::array<uint8_t, frame::MAX_IMAGE_BYTES> reply_{};
    Bytes inputs_{};
    Bytes outputs_{};
    FaultQueue faults_;  // its count first, the entries after

    // The start-up phases.
    std::size_t chunk_;
    Stream connection_;
    Stream parameters_;
    std::size_t session_bytes_ = 0;
    std::size_t session_sent_ = 0;
    std::size_t connection_received_ = 0;
    std::size_t parameters_received_ = 0;
    std::optional<uint16_t> master_session_id_;
    std::optional<uint16_t> master_error_;
};

}  // namespace tamsel::slave

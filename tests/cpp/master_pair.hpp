#pragma once
// The master core over the test port and the simulated slave's core, configured for one
// another: the same addresses, connection id, watchdog time, application parameter and sizes.
#include <optional>

#include "master_test_port.hpp"
#include "slave/slave_core.hpp"

namespace tamsel::testing {

inline constexpr uint16_t slave_address = 0x0102;
inline constexpr uint16_t connection_id = 0x0304;
inline constexpr uint16_t watchdog_ms = 100;
inline constexpr uint8_t application_parameter = 0xAB;  // one parameter of one byte

inline slave::Config slave_config(uint16_t size) {
    slave::Config config;
    config.slave_address = slave_address;
    config.connection_id = connection_id;
    config.watchdog_ms = watchdog_ms;
    config.outputs_size = config.inputs_size = size;
    config.session_id = 0x4242;
    config.supervise = false;
    config.app_parameters[0] = application_parameter;
    config.app_parameter_bytes = 1;
    return config;
}

inline Bytes image_of(const frame::Frame& f) {
    std::array<uint8_t, frame::MAX_IMAGE_BYTES> image{};
    return Bytes(image.begin(), image.begin() + frame::build_image(f, image));
}

// A master and a slave with `size` safe-data bytes each way; the master is started.
struct Pair {
    Connection master;
    slave::SlaveCore slave;
    Bytes delivered;  // the last request the slave was given

    explicit Pair(uint16_t size) : slave(slave_config(size)) {
        configure(master, slave_address, connection_id, watchdog_ms, {{application_parameter, 1}});
        start(master, size, size);
    }

    // The slave's answer to the master's current request.
    Bytes answer(slave::Outcome* outcome = nullptr) {
        delivered = master.request;
        const slave::Outcome got = slave.reply(delivered.data(), delivered.size(), 0);
        if (outcome) *outcome = got;
        return Bytes(slave.reply_data(), slave.reply_data() + slave.reply_length());
    }

    // One cycle in lock step; false when the master failed.
    bool step() { return take_reply(master, answer()); }

    // Steps until the master is in `state` (at most `limit` cycles).
    bool reach(core::State state, int limit = 40) {
        for (int i = 0; i < limit && master.state != state; ++i)
            if (!step()) return false;
        return master.state == state;
    }
};

}  // namespace tamsel::testing

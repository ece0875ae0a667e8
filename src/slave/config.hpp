#pragma once
// What a simulated slave expects of its master, and the start-up streams derived from it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/frame.hpp"

namespace tamsel::slave {

// Application parameters travel with a 16-bit length; the simulator keeps them in a fixed buffer.
inline constexpr std::size_t MAX_APP_PARAMETER_BYTES = 256;
inline constexpr std::size_t CONNECTION_STREAM_BYTES = 4;
// Communication parameter length, watchdog time, application parameter length.
inline constexpr std::size_t PARAMETER_HEADER_BYTES = 6;
inline constexpr std::size_t MAX_PARAMETER_STREAM_BYTES = PARAMETER_HEADER_BYTES + MAX_APP_PARAMETER_BYTES;

// The values every frame reads come first, the application parameters last.
struct Config {
    uint16_t slave_address = 0;
    uint16_t connection_id = 0;
    uint16_t watchdog_ms = 0;
    uint16_t outputs_size = 0;  // safe-data bytes of the master's frames
    uint16_t inputs_size = 0;   // safe-data bytes of the slave's frames
    uint16_t session_id = 0;    // the slave's own session id
    // Supervise the master with the watchdog time: from its first Session frame on, a frame
    // coming later than watchdog_ms after the previous one is answered with WD_EXPIRED.
    bool supervise = true;
    std::size_t app_parameter_bytes = 0;
    std::array<uint8_t, MAX_APP_PARAMETER_BYTES> app_parameters{};
};

// A frame size the protocol uses: 1 or an even number up to 16.
constexpr bool is_frame_size(std::size_t size) {
    return size == 1 || (size % 2 == 0 && size >= 2 && size <= frame::MAX_DATA_BYTES);
}

// Start-up bytes per frame in both directions.
constexpr std::size_t chunk_bytes(const Config& config) {
    return config.outputs_size < config.inputs_size ? config.outputs_size : config.inputs_size;
}

// The bytes a start-up phase streams, and which error code a wrong byte at each position gives.
struct Stream {
    std::array<uint8_t, MAX_PARAMETER_STREAM_BYTES> bytes{};
    std::size_t length = 0;

    constexpr void put16(uint16_t value) {
        bytes[length++] = static_cast<uint8_t>(value);
        bytes[length++] = static_cast<uint8_t>(value >> 8);
    }
};

// Connection id then slave address.
constexpr Stream connection_stream(const Config& config) {
    Stream stream;
    stream.put16(config.connection_id);
    stream.put16(config.slave_address);
    return stream;
}

// Communication parameter length (2), watchdog time, application parameter length, parameters.
constexpr Stream parameter_stream(const Config& config) {
    Stream stream;
    stream.put16(2);
    stream.put16(config.watchdog_ms);
    stream.put16(static_cast<uint16_t>(config.app_parameter_bytes));
    for (std::size_t i = 0; i < config.app_parameter_bytes; ++i)
        stream.bytes[stream.length++] = config.app_parameters[i];
    return stream;
}

}  // namespace tamsel::slave

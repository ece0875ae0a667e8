#pragma once
// FSoE command codes and the four control words of a frame.
#include <array>
#include <cstdint>

namespace tamsel::frame {

struct CommandCode {
    const char* name;
    uint8_t code;
};

// The command codes in declaration order of the host enumeration.
inline constexpr std::array<CommandCode, 6> command_codes = {{
    {"PROCESS_DATA", 0x36},
    {"RESET", 0x2A},
    {"SESSION", 0x4E},
    {"CONNECTION", 0x64},
    {"PARAMETER", 0x52},
    {"FAILSAFE_DATA", 0x08},
}};

namespace command {
inline constexpr uint16_t process_data = 0x36;
inline constexpr uint16_t reset = 0x2A;
inline constexpr uint16_t session = 0x4E;
inline constexpr uint16_t connection = 0x64;
inline constexpr uint16_t parameter = 0x52;
inline constexpr uint16_t failsafe_data = 0x08;
}  // namespace command

constexpr bool is_command(uint16_t code) {
    for (const CommandCode& entry : command_codes)
        if (entry.code == code) return true;
    return false;
}

// Field order matters: the host sees it as the first member of the frame structure.
struct FrameControl {
    uint16_t command = 0;          // first byte on the wire
    uint16_t sequence_number = 0;  // keys the CRCs, never transmitted
    uint16_t connection_id = 0;    // last two bytes on the wire
    uint16_t crc0 = 0;             // reference CRC_0, keys the CRCs, never transmitted

    // Counts 1, 2, ..., 65535, 1, ...; 0 is never produced.
    constexpr void increment_sequence_number() {
        sequence_number = sequence_number == 0xFFFF ? 1 : static_cast<uint16_t>(sequence_number + 1);
    }
};

}  // namespace tamsel::frame

#pragma once
// Table-driven CRCs of the safety layer: the 16-bit slot CRC and the 32-bit SRA CRC.
// Both are most-significant-bit first, start from 0, and have no reflection or final XOR.
#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/control.hpp"

namespace tamsel::frame {

inline constexpr uint16_t crc16_polynomial = 0x39B7;
inline constexpr uint32_t crc32_polynomial = 0x814141AB;

// Entry k: the register after shifting k into the top byte through the polynomial eight times.
template <typename Word>
constexpr std::array<Word, 256> make_crc_table(Word polynomial) {
    constexpr int shift = 8 * sizeof(Word) - 8;
    constexpr Word top_bit = static_cast<Word>(Word{1} << (8 * sizeof(Word) - 1));
    std::array<Word, 256> table{};
    for (unsigned k = 0; k < 256; ++k) {
        Word reg = static_cast<Word>(Word(k) << shift);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & top_bit) ? static_cast<Word>((reg << 1) ^ polynomial) : static_cast<Word>(reg << 1);
        table[k] = reg;
    }
    return table;
}

inline constexpr std::array<uint16_t, 256> crc16_table = make_crc_table<uint16_t>(crc16_polynomial);
inline constexpr std::array<uint32_t, 256> crc32_table = make_crc_table<uint32_t>(crc32_polynomial);

constexpr uint16_t crc16_step(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc << 8) ^ crc16_table[((crc >> 8) ^ byte) & 0xFF]);
}

constexpr uint16_t crc16(const uint8_t* bytes, std::size_t count, uint16_t crc = 0) {
    for (std::size_t i = 0; i < count; ++i) crc = crc16_step(crc, bytes[i]);
    return crc;
}

constexpr uint32_t crc32_step(uint32_t crc, uint8_t byte) {
    return (crc << 8) ^ crc32_table[((crc >> 24) ^ byte) & 0xFF];
}

// The SRA CRC, fed one 16-bit parameter word at a time (low byte first).
class SraCrc {
public:
    constexpr void add(uint16_t word) {
        crc_ = crc32_step(crc_, static_cast<uint8_t>(word & 0xFF));
        crc_ = crc32_step(crc_, static_cast<uint8_t>(word >> 8));
    }
    constexpr uint32_t value() const { return crc_; }

private:
    uint32_t crc_ = 0;
};


// Register after the bytes every slot CRC of a frame starts with: crc0, connection id,
// sequence number (each low byte first) and the command's low byte.
constexpr uint16_t slot_crc_prefix(const FrameControl& control) {
    const uint8_t bytes[] = {
        static_cast<uint8_t>(control.crc0),
        static_cast<uint8_t>(control.crc0 >> 8),
        static_cast<uint8_t>(control.connection_id),
        static_cast<uint8_t>(control.connection_id >> 8),
        static_cast<uint8_t>(control.sequence_number),
        static_cast<uint8_t>(control.sequence_number >> 8),
        static_cast<uint8_t>(control.command),
    };
    return crc16(bytes, sizeof bytes);
}

// CRC of slot `index` continuing from `prefix` (slot_crc_prefix). `safe_word` is the slot's
// safe-data word; `single_byte` drops its high byte (a frame with one safe-data byte).
// Slot 0 carries no index bytes; every sequence ends with three zero bytes.
constexpr uint16_t slot_crc_from(uint16_t prefix, uint16_t index, uint16_t safe_word, bool single_byte) {
    uint16_t crc = prefix;
    if (index != 0) {
        crc = crc16_step(crc, static_cast<uint8_t>(index));
        crc = crc16_step(crc, static_cast<uint8_t>(index >> 8));
    }
    crc = crc16_step(crc, static_cast<uint8_t>(safe_word));
    if (!single_byte) crc = crc16_step(crc, static_cast<uint8_t>(safe_word >> 8));
    for (int i = 0; i < 3; ++i) crc = crc16_step(crc, 0);
    return crc;
}

}  // namespace tamsel::frame

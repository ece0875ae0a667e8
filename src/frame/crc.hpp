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

// The register after a run of zero bytes, as a function of the register before it. The step is
// linear, so the run is too: one table per register byte gives it in two look-ups.
struct ZeroRun {
    std::array<uint16_t, 256> high{};  // entry k: the register k << 8 after the run
    std::array<uint16_t, 256> low{};   // entry k: the register k after the run

    constexpr uint16_t operator()(uint16_t reg) const { return high[reg >> 8] ^ low[reg & 0xFF]; }
};

constexpr ZeroRun make_zero_run(int bytes) {
    ZeroRun run;
    for (unsigned k = 0; k < 256; ++k) {
        uint16_t high = static_cast<uint16_t>(k << 8);
        uint16_t low = static_cast<uint16_t>(k);
        for (int i = 0; i < bytes; ++i) {
            high = crc16_step(high, 0);
            low = crc16_step(low, 0);
        }
        run.high[k] = high;
        run.low[k] = low;
    }
    return run;
}

inline constexpr ZeroRun zero_run_2 = make_zero_run(2);
inline constexpr ZeroRun zero_run_4 = make_zero_run(4);
inline constexpr ZeroRun zero_run_5 = make_zero_run(5);

// A byte b fed to the register equals the zero byte fed to the register with b in its top byte,
// so bytes b1, b2 followed by n zero bytes are the run of n + 2 zero bytes from reg ^ (b1 b2).
constexpr uint16_t crc16_word(uint16_t crc, uint16_t value_low_byte_first) {
    return zero_run_2(static_cast<uint16_t>(crc ^ (value_low_byte_first << 8) ^ (value_low_byte_first >> 8)));
}

// Register after the bytes every slot CRC of a frame starts with: crc0, connection id,
// sequence number (each low byte first) and the command's low byte.
constexpr uint16_t slot_crc_prefix(const FrameControl& control) {
    uint16_t crc = crc16_word(0, control.crc0);
    crc = crc16_word(crc, control.connection_id);
    crc = crc16_word(crc, control.sequence_number);
    return crc16_step(crc, static_cast<uint8_t>(control.command));
}

// CRC of slot `index` continuing from `prefix` (slot_crc_prefix). `safe_word` is the slot's
// safe-data word; `single_byte` drops its high byte (a frame with one safe-data byte).
// Slot 0 carries no index bytes; every sequence ends with three zero bytes.
constexpr uint16_t slot_crc_from(uint16_t prefix, uint16_t index, uint16_t safe_word, bool single_byte) {
    const uint16_t crc = index != 0 ? crc16_word(prefix, index) : prefix;
    const uint16_t low = static_cast<uint16_t>(safe_word & 0xFF);
    if (single_byte) return zero_run_4(static_cast<uint16_t>(crc ^ (low << 8)));
    return zero_run_5(static_cast<uint16_t>(crc ^ (low << 8) ^ (safe_word >> 8)));
}

}  // namespace tamsel::frame

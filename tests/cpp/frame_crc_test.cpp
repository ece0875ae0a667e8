#include "frame/crc.hpp"
#include "frame/frame.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace tamsel::frame;

// Bit-at-a-time CRC, most significant bit first, register starting at 0.
template <typename Word>
Word bitwise_crc(const std::vector<uint8_t>& bytes, Word polynomial) {
    constexpr int width = 8 * sizeof(Word);
    Word reg = 0;
    for (uint8_t byte : bytes)
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = ((reg >> (width - 1)) & 1) ^ ((byte >> bit) & 1);
            reg = static_cast<Word>(reg << 1);
            if (feedback) reg ^= polynomial;
        }
    return reg;
}

// The byte sequence of one slot, written out field by field.
std::vector<uint8_t> slot_sequence(const Frame& f, unsigned slot) {
    auto lo = [](unsigned v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](unsigned v) { return static_cast<uint8_t>(v >> 8); };
    const FrameControl& c = f.control;
    std::vector<uint8_t> bytes = {lo(c.crc0),
                                  hi(c.crc0),
                                  lo(c.connection_id),
                                  hi(c.connection_id),
                                  lo(c.sequence_number),
                                  hi(c.sequence_number),
                                  lo(c.command)};
    if (slot != 0) bytes.insert(bytes.end(), {lo(slot), hi(slot)});
    bytes.push_back(lo(f.safe_data[slot]));
    if (!(slot == 0 && f.safe_data_size == 1)) bytes.push_back(hi(f.safe_data[slot]));
    bytes.insert(bytes.end(), {0, 0, 0});
    return bytes;
}

TEST(FrameCrc, TablesMatchTheBitwiseCrc) {
    EXPECT_EQ((std::array<uint16_t, 4>{crc16_table[0], crc16_table[1], crc16_table[2], crc16_table[3]}),
              (std::array<uint16_t, 4>{0x0000, 0x39B7, 0x736E, 0x4AD9}));
    EXPECT_EQ((std::array<uint32_t, 4>{crc32_table[0], crc32_table[1], crc32_table[2], crc32_table[3]}),
              (std::array<uint32_t, 4>{0x00000000, 0x814141AB, 0x83C3C2FD, 0x02828356}));
    for (unsigned b = 0; b < 256; ++b) {
        const std::vector<uint8_t> bytes = {0xA5, static_cast<uint8_t>(b), 0x3C};
        EXPECT_EQ(crc16(bytes.data(), bytes.size()), bitwise_crc<uint16_t>(bytes, crc16_polynomial)) << b;
        uint32_t crc = 0;
        for (uint8_t byte : bytes) crc = crc32_step(crc, byte);
        EXPECT_EQ(crc, bitwise_crc<uint32_t>(bytes, crc32_polynomial)) << b;
    }
    const char* text = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0xDDE2);
}

TEST(FrameCrc, SlotVectors) {
    Frame reset;
    reset.control.command = 0x2A;
    reset.safe_data_size = 1;
    EXPECT_EQ(slot_crc(reset, 0), 0xF565);
    reset.safe_data[0] = 0xFF00;
    EXPECT_EQ(slot_crc(reset, 0), 0xF565) << "size 1 leaves the high byte out";

    Frame f;
    f.control = {0x36, 1, 0x1234, 0xBEEF};
    f.safe_data = {0x2211, 0x4433};
    f.safe_data_size = 4;
    EXPECT_EQ(slot_crc(f, 0), 0x9665);
    EXPECT_EQ(slot_crc(f, 1), 0x10B6);
}

TEST(FrameCrc, RandomFramesOfEverySizeMatchTheSlotSequences) {
    std::mt19937 rng(1234);
    auto word = [&] { return static_cast<uint16_t>(rng()); };
    for (uint16_t size = 0; size <= MAX_DATA_BYTES; ++size) {
        for (int round = 0; round < 50; ++round) {
            Frame f;
            f.control = {static_cast<uint16_t>(word() & 0xFF), word(), word(), word()};
            for (auto& w : f.safe_data) w = word();
            for (auto& w : f.crcs) w = word();
            f.safe_data_size = size;
            const CrcWords before = f.crcs;
            generate_crcs(f);
            for (unsigned i = 0; i < MAX_CRC_WORDS; ++i)
                ASSERT_EQ(f.crcs[i], i < slot_count(size) ? bitwise_crc<uint16_t>(slot_sequence(f, i), crc16_polynomial)
                                                          : before[i]);
            CrcWords calculated;
            calculated.fill(0xEEEE);
            EXPECT_TRUE(check_crcs(f, calculated));
            for (unsigned i = 0; i < MAX_CRC_WORDS; ++i)
                EXPECT_EQ(calculated[i], i < slot_count(size) ? f.crcs[i] : 0xEEEE);
            if (size == 0) continue;
            // Every slot is computed even after a mismatch in the first.
            const CrcWords generated = f.crcs;
            f.crcs[0] ^= 1;
            calculated.fill(0);
            EXPECT_FALSE(check_crcs(f, calculated));
            for (unsigned i = 0; i < slot_count(size); ++i) EXPECT_EQ(calculated[i], generated[i]);
        }
    }
}

TEST(FrameCrc, ZeroRunsAndWordsMatchByteSteps) {
    for (unsigned reg = 0; reg <= 0xFFFF; ++reg) {
        std::array<uint16_t, 6> stepped{static_cast<uint16_t>(reg)};  // after 0 to 5 zero bytes
        for (std::size_t bytes = 1; bytes < stepped.size(); ++bytes) stepped[bytes] = crc16_step(stepped[bytes - 1], 0);
        ASSERT_EQ(zero_run_2(stepped[0]), stepped[2]) << reg;
        ASSERT_EQ(zero_run_4(stepped[0]), stepped[4]) << reg;
        ASSERT_EQ(zero_run_5(stepped[0]), stepped[5]) << reg;
        const uint16_t value = static_cast<uint16_t>(reg * 40503u);
        const uint16_t crc = static_cast<uint16_t>(reg);
        ASSERT_EQ(crc16_word(crc, value),
                  crc16_step(crc16_step(crc, static_cast<uint8_t>(value)), static_cast<uint8_t>(value >> 8)))
            << reg;
    }
}

TEST(FrameCrc, SraVectors) {
    EXPECT_EQ(SraCrc{}.value(), 0u);
    SraCrc one;
    one.add(1);
    EXPECT_EQ(one.value(), 0x8000B332u);
    SraCrc two;
    two.add(0x1234);
    two.add(0x5678);
    EXPECT_EQ(two.value(), 0xD0CBA2C6u);
}

}  // namespace

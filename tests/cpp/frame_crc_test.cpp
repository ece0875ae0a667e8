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
    for (uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = ((reg >> (width - 1)) & 1) ^ ((byte >> bit) & 1);
            reg = static_cast<Word>(reg << 1);
            if (feedback) reg ^= polynomial;
        }
    }
    return reg;
}

// The byte sequence of one slot, written out field by field.
std::vector<uint8_t> slot_sequence(const Frame& f, unsigned slot) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    const FrameControl& c = f.control;
    std::vector<uint8_t> bytes = {lo(c.crc0),           hi(c.crc0),           lo(c.connection_id),
                                  hi(c.connection_id),  lo(c.sequence_number), hi(c.sequence_number),
                                  lo(c.command)};
    if (slot != 0) {
        bytes.push_back(lo(static_cast<uint16_t>(slot)));
        bytes.push_back(hi(static_cast<uint16_t>(slot)));
    }
    bytes.push_back(lo(f.safe_data[slot]));
    if (!(slot == 0 && f.safe_data_size == 1)) bytes.push_back(hi(f.safe_data[slot]));
    bytes.insert(bytes.end(), {0, 0, 0});
    return bytes;
}

Frame random_frame(std::mt19937& rng, uint16_t size) {
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    Frame f;
    f.control = {static_cast<uint16_t>(word(rng) & 0xFF), static_cast<uint16_t>(word(rng)),
                 static_cast<uint16_t>(word(rng)), static_cast<uint16_t>(word(rng))};
    for (auto& w : f.safe_data) w = static_cast<uint16_t>(word(rng));
    for (auto& w : f.crcs) w = static_cast<uint16_t>(word(rng));
    f.safe_data_size = size;
    return f;
}

Frame vector_frame() {
    Frame f;
    f.control = {0x36, 1, 0x1234, 0xBEEF};
    f.safe_data[0] = 0x2211;
    f.safe_data[1] = 0x4433;
    f.safe_data_size = 4;
    return f;
}

TEST(FrameCrc, TablesStartWithKnownEntries) {
    EXPECT_EQ(crc16_table[0], 0x0000);
    EXPECT_EQ(crc16_table[1], 0x39B7);
    EXPECT_EQ(crc16_table[2], 0x736E);
    EXPECT_EQ(crc16_table[3], 0x4AD9);
    EXPECT_EQ(crc32_table[0], 0x00000000u);
    EXPECT_EQ(crc32_table[1], 0x814141ABu);
    EXPECT_EQ(crc32_table[2], 0x83C3C2FDu);
    EXPECT_EQ(crc32_table[3], 0x02828356u);
}

TEST(FrameCrc, TableStepMatchesBitwiseCrcForEveryByte) {
    for (unsigned b = 0; b < 256; ++b) {
        std::vector<uint8_t> bytes = {0xA5, static_cast<uint8_t>(b), 0x3C};
        EXPECT_EQ(crc16(bytes.data(), bytes.size()), bitwise_crc<uint16_t>(bytes, crc16_polynomial)) << b;
        uint32_t crc = 0;
        for (uint8_t byte : bytes) crc = crc32_step(crc, byte);
        EXPECT_EQ(crc, bitwise_crc<uint32_t>(bytes, crc32_polynomial)) << b;
    }
}

TEST(FrameCrc, CheckString) {
    const char* text = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0xDDE2);
    static_assert(crc16_table[1] == 0x39B7, "the table is built at compile time");
}

TEST(FrameCrc, SlotVectors) {
    Frame reset;
    reset.control.command = 0x2A;
    reset.safe_data_size = 1;
    EXPECT_EQ(slot_crc(reset, 0), 0xF565);

    Frame f = vector_frame();
    EXPECT_EQ(slot_crc(f, 0), 0x9665);
    EXPECT_EQ(slot_crc(f, 1), 0x10B6);
}

TEST(FrameCrc, HighByteOfWordZeroCountsOnlyFromSizeTwo) {
    Frame f = vector_frame();
    f.safe_data_size = 1;
    const uint16_t one = slot_crc(f, 0);
    f.safe_data[0] ^= 0xFF00;
    EXPECT_EQ(slot_crc(f, 0), one);
    f.safe_data_size = 2;
    const uint16_t two = slot_crc(f, 0);
    f.safe_data[0] ^= 0xFF00;
    EXPECT_NE(slot_crc(f, 0), two);
}

TEST(FrameCrc, RandomFramesOfEverySizeMatchTheBitwiseSlotSequences) {
    std::mt19937 rng(1234);
    for (uint16_t size = 0; size <= MAX_DATA_BYTES; ++size) {
        for (int round = 0; round < 50; ++round) {
            Frame f = random_frame(rng, size);
            const CrcWords before = f.crcs;
            generate_crcs(f);
            for (unsigned i = 0; i < MAX_CRC_WORDS; ++i) {
                if (i < slot_count(size))
                    ASSERT_EQ(f.crcs[i], bitwise_crc<uint16_t>(slot_sequence(f, i), crc16_polynomial));
                else
                    ASSERT_EQ(f.crcs[i], before[i]) << "words past the slots are left alone";
            }
            CrcWords calculated{};
            calculated.fill(0xEEEE);
            EXPECT_TRUE(check_crcs(f, calculated));
            for (unsigned i = 0; i < MAX_CRC_WORDS; ++i)
                EXPECT_EQ(calculated[i], i < slot_count(size) ? f.crcs[i] : 0xEEEE);
        }
    }
}

TEST(FrameCrc, CheckComputesEverySlotEvenAfterAMismatch) {
    Frame f = vector_frame();
    generate_crcs(f);
    const CrcWords good = f.crcs;
    f.crcs[0] ^= 1;
    CrcWords calculated{};
    EXPECT_FALSE(check_crcs(f, calculated));
    EXPECT_EQ(calculated[0], good[0]);
    EXPECT_EQ(calculated[1], good[1]);
}

TEST(FrameCrc, FrameWithoutSlotsGeneratesNothingAndChecksTrue) {
    Frame f = vector_frame();
    f.safe_data_size = 0;
    f.crcs.fill(0x5555);
    generate_crcs(f);
    EXPECT_EQ(f.crcs[0], 0x5555);
    CrcWords calculated{};
    EXPECT_TRUE(check_crcs(f, calculated));
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
    EXPECT_EQ(two.value(), bitwise_crc<uint32_t>({0x34, 0x12, 0x78, 0x56}, crc32_polynomial));
}

}  // namespace

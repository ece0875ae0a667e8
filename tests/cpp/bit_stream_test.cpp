#include "mapping/bit_stream.hpp"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

using tamsel::mapping::BitStream;
using tamsel::mapping::kStreamBits;
using tamsel::mapping::WideValue;
using Words = std::array<uint16_t, 8>;

namespace {

// Reference layout: stream bit n is bit n % 16 of word n / 16, set one bit at a time.
void oracle_put(Words& words, unsigned position, unsigned width, WideValue value) {
    for (unsigned i = 0; i < width; ++i) {
        uint64_t half = i < 64 ? value.low : value.high;
        if ((half >> (i % 64)) & 1) words[(position + i) / 16] |= static_cast<uint16_t>(1u << ((position + i) % 16));
    }
}

Words packed(std::initializer_list<std::tuple<unsigned, unsigned, uint64_t>> entries) {
    BitStream stream;
    for (auto [position, width, value] : entries) stream.put(position, width, value);
    Words words{};
    stream.to_words(words);
    return words;
}

}  // namespace

TEST(BitStream, KnownLayouts) {
    EXPECT_EQ(packed({{0, 1, 1}, {1, 8, 0xFF}}), (Words{0x01FF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packed({{8, 16, 0xABCD}}), (Words{0xCD00, 0x00AB, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packed({{12, 8, 0xA5}}), (Words{0x5000, 0x000A, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packed({{16, 32, 0x12345678}}), (Words{0, 0x5678, 0x1234, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packed({{8, 32, 0x12345678}}), (Words{0x7800, 0x3456, 0x0012, 0, 0, 0, 0, 0}));
    // Across the two halves of the stream and up to its last bit.
    EXPECT_EQ(packed({{56, 16, 0xBEEF}}), (Words{0, 0, 0, 0xEF00, 0x00BE, 0, 0, 0}));
    EXPECT_EQ(packed({{127, 1, 1}}), (Words{0, 0, 0, 0, 0, 0, 0, 0x8000}));
}

TEST(BitStream, ValuesAreCutToTheirWidth) {
    EXPECT_EQ(packed({{0, 4, 0xFF}, {4, 4, 0}}), (Words{0x000F, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packed({{60, 8, ~uint64_t{0}}}), (Words{0, 0, 0, 0xF000, 0x000F, 0, 0, 0}));
    EXPECT_EQ(packed({{3, 0, ~uint64_t{0}}}), Words{});
}

TEST(BitStream, WidthZeroReadsNothing) {
    BitStream stream = BitStream::from_words(Words{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF});
    EXPECT_EQ(stream.get(5, 0), 0u);
    EXPECT_EQ(stream.get(64, 64), ~uint64_t{0});
    EXPECT_EQ(stream.get_wide(0, 128), (WideValue{~uint64_t{0}, ~uint64_t{0}}));
}

// Random contiguous layouts of entries of 0 to 128 bits with random values: packing agrees
// with the bit-by-bit reference and unpacking gives every value back, cut to its width.
TEST(BitStream, RandomLayoutsAgreeWithTheReference) {
    std::mt19937_64 random(2024);
    for (int round = 0; round < 2000; ++round) {
        struct Entry {
            unsigned position, width;
            WideValue value;
        };
        std::vector<Entry> entries;
        unsigned position = 0;
        while (true) {
            unsigned width = static_cast<unsigned>(random() % (round % 3 == 0 ? 129 : 33));
            if (position + width > kStreamBits) break;
            entries.push_back({position, width, {random(), random()}});
            position += width;
        }
        BitStream stream;
        Words expected{};
        for (const Entry& e : entries) {
            stream.put_wide(e.position, e.width, e.value);
            oracle_put(expected, e.position, e.width, e.value);
        }
        Words words{};
        stream.to_words(words);
        ASSERT_EQ(words, expected) << "round " << round;
        BitStream received = BitStream::from_words(words);
        for (const Entry& e : entries) {
            WideValue cut{e.value.low & tamsel::mapping::low_mask(e.width),
                          e.width > 64 ? e.value.high & tamsel::mapping::low_mask(e.width - 64) : 0};
            ASSERT_EQ(received.get_wide(e.position, e.width), cut) << "round " << round;
        }
    }
}

// A field worked out beforehand reads what get(position, width) reads, at every place of the
// stream (both halves and across them) and every width up to 64.
TEST(BitStream, FieldsReadLikePositionAndWidth) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 20; ++round) {
        Words words{};
        for (uint16_t& word : words) word = static_cast<uint16_t>(random());
        const BitStream stream = BitStream::from_words(words);
        for (unsigned width = 0; width <= 64; ++width)
            for (unsigned position = 0; position + width <= kStreamBits; ++position)
                ASSERT_EQ(stream.get(tamsel::mapping::field(position, width)), stream.get(position, width))
                    << position << " " << width;
    }
}

#include "mapping/dynamic_cursor.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

using tamsel::mapping::DynamicCursor;
using tamsel::mapping::DynamicValue;

namespace {

struct VectorItems {
    std::vector<DynamicValue> values;
    std::int64_t fail_at = -1;  // index whose access fails
    std::int64_t count() const { return static_cast<std::int64_t>(values.size()); }
    DynamicValue* operator()(std::int64_t i) { return i == fail_at ? nullptr : &values[static_cast<std::size_t>(i)]; }
};

DynamicCursor filled(const VectorItems& items) {
    DynamicCursor cursor;
    for (const DynamicValue& v : items.values) cursor.total_bytes += v.n_bytes;
    return cursor;
}

}  // namespace

TEST(DynamicCursor, ReceivingZeroesEveryLaterItemButKeepsTheFirstOne) {
    VectorItems items{{{0xAABBCCDD, 2}, {0xFFFFFFFF, 1}}};
    DynamicCursor cursor = filled(items);
    const std::array<std::uint8_t, 4> bytes{0x34, 0x12, 0x56, 0x99};
    ASSERT_TRUE(cursor.take(items, bytes));
    EXPECT_EQ(items.values[0].raw, 0xAABB1234u);  // only its own bytes are replaced
    EXPECT_EQ(items.values[1].raw, 0x56u);
    EXPECT_EQ(cursor.bytes_processed, 3);  // the fourth byte finds no item
    EXPECT_EQ(cursor.items_processed, 2);
    EXPECT_EQ(cursor.current_item, 2);
}

TEST(DynamicCursor, FailedAccessKeepsTheProgressMade) {
    VectorItems items{{{0x0102, 2}, {0x03, 1}, {0x04, 1}}, 1};
    DynamicCursor cursor = filled(items);
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(cursor.put(items, std::span(buffer)), -1);
    EXPECT_EQ(cursor.bytes_processed, 2);
    EXPECT_EQ(cursor.items_processed, 1);
    EXPECT_EQ(cursor.current_item, 1);

    VectorItems failing_first{{{0, 1}}, 0};
    DynamicCursor other = filled(failing_first);
    EXPECT_FALSE(other.take(failing_first, std::span<const std::uint8_t>(buffer)));
    EXPECT_EQ(other.bytes_processed, 0);
}

TEST(DynamicCursor, ByteHelpersStayInsideTheWord) {
    using namespace tamsel::mapping;
    EXPECT_EQ(dynamic_byte(0x11223344, 3), 0x11);
    EXPECT_EQ(dynamic_byte(0x11223344, 4), 0);
    EXPECT_EQ(dynamic_byte(0x11223344, -1), 0);
    EXPECT_EQ(with_dynamic_byte(0x11223344, 1, 0xAB), 0x1122AB44u);
    EXPECT_EQ(with_dynamic_byte(0x11223344, 7, 0xAB), 0x11223344u);
    EXPECT_TRUE(dynamic_prefix_equal(0x11FF, 0x22FF, 1));
    EXPECT_FALSE(dynamic_prefix_equal(0x11FF, 0x22FF, 2));
    EXPECT_TRUE(dynamic_prefix_equal(1, 2, 0));
    EXPECT_FALSE(dynamic_prefix_equal(0x80000000u, 0, 4));
    EXPECT_FALSE(dynamic_prefix_equal(0x80000000u, 0, 9));
}

// Random item lists streamed at every rate arrive intact, with counters that agree on both
// sides after every frame.
TEST(DynamicCursor, RandomStreamsArriveAtEveryRate) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        std::size_t n_items = rng() % 12;
        VectorItems sent, received;
        for (std::size_t i = 0; i < n_items; ++i) {
            std::uint8_t n = static_cast<std::uint8_t>(std::array{1, 2, 4}[rng() % 3]);
            std::uint32_t raw = n == 4 ? static_cast<std::uint32_t>(rng())
                                       : static_cast<std::uint32_t>(rng() % (1u << (8 * n)));
            sent.values.push_back({raw, n});
            received.values.push_back({static_cast<std::uint32_t>(rng()) & 0xFFu, n});
        }
        for (std::size_t rate = 1; rate <= 16; ++rate) {
            DynamicCursor tx = filled(sent), rx = filled(received);
            VectorItems target = received;
            int frames = 0;
            while (tx.pending()) {
                std::array<std::uint8_t, 16> frame{};
                ASSERT_GE(tx.put(sent, std::span(frame.data(), rate)), 0);
                ASSERT_TRUE(rx.take(target, std::span<const std::uint8_t>(frame.data(), rate)));
                EXPECT_EQ(tx.bytes_processed, rx.bytes_processed);
                EXPECT_EQ(tx.items_processed, rx.items_processed);
                EXPECT_EQ(tx.current_item_byte, rx.current_item_byte);
                EXPECT_LT(tx.current_item_byte, 4);
                ASSERT_LT(++frames, 1000);
            }
            EXPECT_FALSE(rx.pending());
            EXPECT_EQ(rx.items_processed, static_cast<std::int32_t>(n_items));
            EXPECT_EQ(frames, static_cast<int>((tx.total_bytes + rate - 1) / rate));
            for (std::size_t i = 0; i < n_items; ++i) EXPECT_EQ(target.values[i].raw, sent.values[i].raw);
        }
    }
}

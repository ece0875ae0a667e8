#include "recorder/frame_ring.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using tamsel::master::CapturedFrame;
using tamsel::master::Direction;
using tamsel::master::FrameRing;

std::vector<int64_t> times(const FrameRing& ring) {
    std::vector<int64_t> out;
    for (std::size_t i = 0; i < ring.size(); ++i) out.push_back(ring[i].time_ns);
    return out;
}

TEST(FrameRing, KeepsTheNewestFramesOldestFirstAcrossWraps) {
    const uint8_t byte = 0x36;
    for (std::size_t capacity : {1u, 3u, 4u}) {
        FrameRing ring(capacity);
        std::vector<int64_t> expected;
        for (int64_t t = 1; t <= 10; ++t) {
            ring.record(t, Direction::master_to_slave, 4, &byte, 1);
            expected.push_back(t);
            if (expected.size() > capacity) expected.erase(expected.begin());
            ASSERT_EQ(times(ring), expected) << "capacity " << capacity << " after " << t;
        }
        EXPECT_EQ(ring.recorded(), 10u);
        ring.clear();
        EXPECT_EQ(ring.size(), 0u);
    }
}

TEST(FrameRing, CutsImagesLongerThanAnyFrameAndKeepsTheirLength) {
    std::vector<uint8_t> image(100);
    std::iota(image.begin(), image.end(), 0);
    FrameRing ring(2);
    ring.record(5, Direction::slave_to_master, 2, image.data(), image.size());
    ring.record(6, Direction::slave_to_master, 2, image.data(), 0);
    const CapturedFrame& cut = ring[0];
    EXPECT_EQ(cut.length, tamsel::frame::MAX_PARSE_LENGTH);
    EXPECT_EQ(cut.original_length, 100u);
    EXPECT_EQ(cut.bytes[cut.length - 1], cut.length - 1);
    EXPECT_EQ(cut.direction, Direction::slave_to_master);
    EXPECT_EQ(ring[1].length, 0);
}

}  // namespace

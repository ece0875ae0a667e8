#include "frame/frame.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using namespace tamsel::frame;

std::vector<uint8_t> image_of(const Frame& f) {
    std::array<uint8_t, MAX_IMAGE_BYTES> out{};
    const std::size_t length = build_image(f, out);
    return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)};
}

TEST(FrameImage, ElevenByteExample) {
    Frame f;
    f.control = {0x36, 0, 0x1234, 0};
    f.safe_data = {0x2211, 0x4433};
    f.crcs = {0xAAAA, 0xBBBB};
    f.safe_data_size = 4;
    const std::vector<uint8_t> expected = {0x36, 0x11, 0x22, 0xAA, 0xAA, 0x33, 0x44, 0xBB, 0xBB, 0x34, 0x12};
    EXPECT_EQ(image_of(f), expected);

    Frame back;
    back.control.sequence_number = 7;
    back.control.crc0 = 0x1111;
    ASSERT_TRUE(parse_image(back, expected.data(), expected.size()));
    EXPECT_EQ(back.control.command, 0x36);
    EXPECT_EQ(back.control.connection_id, 0x1234);
    EXPECT_EQ(back.control.sequence_number, 7);
    EXPECT_EQ(back.control.crc0, 0x1111);
    EXPECT_EQ(back.safe_data, f.safe_data);
    EXPECT_EQ(back.crcs, f.crcs);
    EXPECT_EQ(back.safe_data_size, 4);
}

// Every length up to well past the largest image: the parse reads only the given bytes (each
// image lives in its own exactly sized allocation) and leaves a frame within its limits.
TEST(FrameImage, ImagesOfAnyLengthParseSafely) {
    std::mt19937 rng(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        auto data = std::make_unique<uint8_t[]>(length);
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(rng());
        Frame f;
        f.control = {0x36, 5, 6, 7};
        f.safe_data.fill(0x1111);
        const bool parsed = parse_image(f, data.get(), length);
        if (length > MAX_PARSE_LENGTH) {
            EXPECT_FALSE(parsed) << length;
            EXPECT_EQ(f.safe_data[0], 0x1111) << "a refused image changes nothing";
            continue;
        }
        ASSERT_TRUE(parsed) << length;
        const std::size_t size = length <= 4 ? 0 : (length + 1) / 2 - 2;
        EXPECT_EQ(f.safe_data_size, size);
        EXPECT_EQ(f.control.sequence_number, 5);
        EXPECT_EQ(f.control.crc0, 7);
        for (std::size_t slot = slot_count(size); slot < MAX_DATA_WORDS; ++slot) {
            EXPECT_EQ(f.safe_data[slot], 0);
            EXPECT_EQ(f.crcs[slot], 0);
        }
        // What was there builds back to the same bytes; missing bytes read as 0.
        const std::vector<uint8_t> rebuilt = image_of(f);
        for (std::size_t i = 0; i < rebuilt.size(); ++i) EXPECT_EQ(rebuilt[i], i < length ? data[i] : 0) << length;
    }
}

TEST(FrameCyclic, GenerationStepsPastTheLastCrc0) {
    Frame f;
    f.control = {0x36, 1, 0x1234, 0xBEEF};
    f.safe_data_size = 2;
    generate_crcs(f);
    const uint16_t clash = f.crcs[0];
    int passes = 0;
    ASSERT_TRUE(generate_crcs_cyclic(f, clash, [&] { return ++passes, true; }));
    EXPECT_EQ(f.control.sequence_number, 2);
    EXPECT_NE(f.crcs[0], clash);
    EXPECT_EQ(passes, 2);

    generate_crcs_cyclic(f, static_cast<uint16_t>(f.crcs[0] ^ 1));
    EXPECT_EQ(f.control.sequence_number, 2) << "no clash, no step";

    passes = 0;
    EXPECT_FALSE(generate_crcs_cyclic(f, f.crcs[0], [&] { return ++passes, false; }));
    EXPECT_EQ(passes, 1) << "a failing pass hook stops at once";

    Frame empty;
    empty.crcs[0] = 0x4242;
    passes = 0;
    EXPECT_TRUE(generate_crcs_cyclic(empty, 0x4242, [&] { return ++passes, true; }));
    EXPECT_EQ(passes, 1) << "a frame without slots has no CRC_0 to move";
    EXPECT_EQ(empty.control.sequence_number, 0);
}

TEST(FrameCyclic, CheckStepsBeforeChecking) {
    Frame sender;
    sender.control = {0x36, 9, 0x1234, 0xBEEF};
    sender.safe_data_size = 4;
    sender.safe_data[0] = 0xABCD;
    generate_crcs(sender);

    Frame receiver = sender;
    receiver.control.sequence_number = 8;
    CrcWords calculated{};
    EXPECT_TRUE(check_crcs_cyclic(receiver, calc_crc0(receiver), calculated));
    EXPECT_EQ(receiver.control.sequence_number, 9);
    EXPECT_EQ(calculated[0], sender.crcs[0]);
}

}  // namespace

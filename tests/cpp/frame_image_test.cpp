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

TEST(FrameImage, SizeFollowsTheImageLength) {
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 0},  {2, 0},  {3, 0},  {4, 0},  {5, 1},  {6, 1},
                                                        {7, 2},  {8, 2},  {11, 4}, {12, 4}, {35, 16}, {36, 16},
                                                        {37, 17}};
    for (auto [length, size] : cases) EXPECT_EQ(safe_data_size_for_length(length), size) << length;
    EXPECT_EQ(MAX_IMAGE_BYTES, 35u);
    for (std::size_t size = 0; size <= MAX_DATA_BYTES; ++size)
        EXPECT_EQ(safe_data_size_for_length(image_length(size)), size) << "image length of size " << size;
}

TEST(FrameImage, ElevenByteExample) {
    Frame f;
    f.control.command = 0x36;
    f.control.connection_id = 0x1234;
    f.safe_data[0] = 0x2211;
    f.safe_data[1] = 0x4433;
    f.crcs[0] = 0xAAAA;
    f.crcs[1] = 0xBBBB;
    f.safe_data_size = 4;
    const std::vector<uint8_t> expected = {0x36, 0x11, 0x22, 0xAA, 0xAA, 0x33, 0x44, 0xBB, 0xBB, 0x34, 0x12};
    EXPECT_EQ(image_of(f), expected);

    Frame back;
    back.control.sequence_number = 7;
    back.control.crc0 = 0x1111;
    ASSERT_TRUE(parse_image(back, expected.data(), expected.size()));
    EXPECT_EQ(back.control.command, 0x36);
    EXPECT_EQ(back.control.connection_id, 0x1234);
    EXPECT_EQ(back.control.sequence_number, 7) << "sequence number survives a parse";
    EXPECT_EQ(back.control.crc0, 0x1111) << "crc0 survives a parse";
    EXPECT_EQ(back.safe_data, f.safe_data);
    EXPECT_EQ(back.crcs, f.crcs);
    EXPECT_EQ(back.safe_data_size, 4);
}

TEST(FrameImage, SmallSizes) {
    Frame empty;
    EXPECT_EQ(image_of(empty), (std::vector<uint8_t>{0, 0, 0}));

    Frame one;
    one.control = {0x2A, 0, 0xBEEF, 0};
    one.safe_data[0] = 0x1234;
    one.crcs[0] = 0xF565;
    one.safe_data_size = 1;
    const std::vector<uint8_t> image = image_of(one);
    EXPECT_EQ(image, (std::vector<uint8_t>{0x2A, 0x34, 0x65, 0xF5, 0xEF, 0xBE}));
    Frame back;
    ASSERT_TRUE(parse_image(back, image.data(), image.size()));
    EXPECT_EQ(back.safe_data[0], 0x0034) << "only the low byte travels";
    EXPECT_EQ(back.crcs[0], 0xF565);
    EXPECT_EQ(back.control.connection_id, 0xBEEF);
}

TEST(FrameImage, RandomFramesOfEverySizeRoundTrip) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    for (uint16_t size = 0; size <= MAX_DATA_BYTES; ++size) {
        for (int round = 0; round < 50; ++round) {
            Frame f;
            f.control = {static_cast<uint16_t>(word(rng) & 0xFF), 0, static_cast<uint16_t>(word(rng)), 0};
            f.safe_data_size = size;
            // Only the safe bytes inside the size travel; the rest stays 0 for the comparison.
            for (std::size_t byte = 0; byte < size; ++byte)
                f.safe_data[byte / 2] |= static_cast<uint16_t>((word(rng) & 0xFF) << (8 * (byte % 2)));
            for (std::size_t slot = 0; slot < slot_count(size); ++slot) f.crcs[slot] = static_cast<uint16_t>(word(rng));
            const std::vector<uint8_t> image = image_of(f);
            ASSERT_EQ(image.size(), image_length(size));
            Frame back;
            back.safe_data.fill(0x7777);
            back.crcs.fill(0x7777);
            ASSERT_TRUE(parse_image(back, image.data(), image.size()));
            EXPECT_EQ(back.control.command, f.control.command);
            EXPECT_EQ(back.control.connection_id, f.control.connection_id);
            EXPECT_EQ(back.safe_data, f.safe_data) << "size " << size;
            EXPECT_EQ(back.crcs, f.crcs) << "size " << size;
            EXPECT_EQ(back.safe_data_size, size);
            EXPECT_EQ(image_of(back), image);
        }
    }
}

// Every length up to well past the largest image: the parse reads only the given bytes (each
// image lives in its own exactly sized allocation) and leaves a frame within its limits.
TEST(FrameImage, ImagesOfAnyLengthParseSafely) {
    std::mt19937 rng(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        auto data = std::make_unique<uint8_t[]>(length + 1);
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(rng());
        Frame f;
        f.control = {0x36, 5, 6, 7};
        f.safe_data.fill(0x1111);
        const Frame before = f;
        const bool parsed = parse_image(f, data.get(), length);
        if (length > MAX_PARSE_LENGTH) {
            EXPECT_FALSE(parsed) << length;
            EXPECT_EQ(f.safe_data, before.safe_data);
            EXPECT_EQ(f.control.command, before.control.command);
            continue;
        }
        ASSERT_TRUE(parsed) << length;
        EXPECT_EQ(f.safe_data_size, safe_data_size_for_length(length));
        EXPECT_LE(f.safe_data_size, MAX_DATA_BYTES);
        EXPECT_EQ(f.control.command, length ? data[0] : 0);
        EXPECT_EQ(f.control.sequence_number, 5);
        EXPECT_EQ(f.control.crc0, 7);
        for (std::size_t slot = slot_count(f.safe_data_size); slot < MAX_DATA_WORDS; ++slot) {
            EXPECT_EQ(f.safe_data[slot], 0);
            EXPECT_EQ(f.crcs[slot], 0);
        }
        // A well-formed prefix of the image builds back to the same bytes.
        const std::vector<uint8_t> rebuilt = image_of(f);
        const std::size_t common = std::min(length, rebuilt.size());
        EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.begin() + static_cast<std::ptrdiff_t>(common), data.get()))
            << length;
    }
}

TEST(FrameImage, SafeDataBytes) {
    Frame f;
    f.safe_data.fill(0xFFFF);
    f.crcs[0] = 0x1234;
    f.safe_data_size = 2;
    const uint8_t three[] = {1, 2, 3};
    ASSERT_TRUE(set_safe_data_bytes(f, three, 3));
    EXPECT_EQ(f.safe_data[0], 0x0201);
    EXPECT_EQ(f.safe_data[1], 0x0003);
    for (std::size_t k = 2; k < MAX_DATA_WORDS; ++k) EXPECT_EQ(f.safe_data[k], 0);
    EXPECT_EQ(f.safe_data_size, 2);
    EXPECT_EQ(f.crcs[0], 0x1234);

    std::array<uint8_t, MAX_DATA_BYTES> out{};
    get_safe_data_bytes(f, out);
    EXPECT_EQ(out, (std::array<uint8_t, MAX_DATA_BYTES>{1, 2, 3}));

    const uint8_t seventeen[17] = {};
    EXPECT_FALSE(set_safe_data_bytes(f, seventeen, 17));
    EXPECT_EQ(f.safe_data[0], 0x0201);
}

TEST(FrameControlWords, SequenceNumberSkipsZero) {
    const std::pair<uint16_t, uint16_t> steps[] = {{0, 1}, {1, 2}, {0x7FFF, 0x8000}, {0xFFFE, 0xFFFF}, {0xFFFF, 1}};
    for (auto [from, to] : steps) {
        FrameControl c;
        c.sequence_number = from;
        c.increment_sequence_number();
        EXPECT_EQ(c.sequence_number, to);
    }
}

TEST(FrameControlWords, CommandCodes) {
    for (uint16_t code = 0; code < 0x200; ++code) {
        const bool known = code == 0x36 || code == 0x2A || code == 0x4E || code == 0x64 || code == 0x52 || code == 0x08;
        EXPECT_EQ(is_command(code), known) << code;
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
    EXPECT_EQ(f.crcs[0], slot_crc(f, 0));

    generate_crcs_cyclic(f, static_cast<uint16_t>(f.crcs[0] ^ 1));
    EXPECT_EQ(f.control.sequence_number, 2) << "no clash, no step";
}

TEST(FrameCyclic, GenerationStopsWhenThePassHookFails) {
    Frame f;
    f.safe_data_size = 2;
    generate_crcs(f);
    int passes = 0;
    EXPECT_FALSE(generate_crcs_cyclic(f, f.crcs[0], [&] { return ++passes, false; }));
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(f.control.sequence_number, 0);
}

TEST(FrameCyclic, FrameWithoutSlotsReturnsAfterOnePass) {
    Frame f;
    f.crcs[0] = 0x4242;
    int passes = 0;
    EXPECT_TRUE(generate_crcs_cyclic(f, 0x4242, [&] { return ++passes, true; }));
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(f.control.sequence_number, 0);
}

TEST(FrameCyclic, CheckStepsBeforeChecking) {
    Frame sender;
    sender.control = {0x36, 9, 0x1234, 0xBEEF};
    sender.safe_data_size = 4;
    sender.safe_data[0] = 0xABCD;
    generate_crcs(sender);
    const uint16_t stepped_crc0 = sender.crcs[0];

    Frame receiver = sender;
    receiver.control.sequence_number = 8;
    const uint16_t clash = calc_crc0(receiver);
    CrcWords calculated{};
    EXPECT_TRUE(check_crcs_cyclic(receiver, clash, calculated));
    EXPECT_EQ(receiver.control.sequence_number, 9);
    EXPECT_EQ(calculated[0], stepped_crc0);

    Frame unchanged = sender;
    EXPECT_TRUE(check_crcs_cyclic(unchanged, static_cast<uint16_t>(stepped_crc0 ^ 1), calculated));
    EXPECT_EQ(unchanged.control.sequence_number, 9);
}

}  // namespace

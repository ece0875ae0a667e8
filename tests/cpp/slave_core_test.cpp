#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "frame/frame.hpp"
#include "slave/slave_core.hpp"

namespace {

using namespace tamsel;

slave::Config config_2x2() {
    slave::Config config;
    config.slave_address = 0x0102;
    config.connection_id = 0x0304;
    config.watchdog_ms = 100;
    config.outputs_size = 2;
    config.inputs_size = 2;
    config.app_parameters[0] = 0xAB;
    config.app_parameter_bytes = 1;
    return config;
}

// A master Reset frame (sequence 1, reference 0) as image.
std::array<uint8_t, frame::MAX_IMAGE_BYTES> reset_request(uint16_t error, std::size_t& length) {
    frame::Frame f;
    f.control.command = frame::command::reset;
    f.control.sequence_number = 1;
    f.safe_data_size = 2;
    f.safe_data[0] = error;
    frame::generate_crcs(f);
    std::array<uint8_t, frame::MAX_IMAGE_BYTES> image{};
    length = frame::build_image(f, image);
    return image;
}

TEST(SlaveCore, StreamsFollowTheConfiguration) {
    const slave::Stream parameters = slave::parameter_stream(config_2x2());
    const uint8_t expected[] = {2, 0, 100, 0, 1, 0, 0xAB};
    ASSERT_EQ(parameters.length, sizeof expected);
    EXPECT_EQ(std::memcmp(parameters.bytes.data(), expected, sizeof expected), 0);
    const slave::Stream connection = slave::connection_stream(config_2x2());
    EXPECT_EQ(connection.length, 4u);
    EXPECT_EQ(connection.bytes[0], 0x04);
    EXPECT_EQ(connection.bytes[3], 0x01);
}

TEST(SlaveCore, AcknowledgesAResetAndIgnoresItsRepetition) {
    slave::SlaveCore core(config_2x2());
    std::size_t length = 0;
    const auto request = reset_request(5, length);
    const slave::Outcome first = core.reply(request.data(), length, 0);
    EXPECT_TRUE(first.processed);
    EXPECT_FALSE(first.rejected);
    ASSERT_EQ(core.reply_length(), frame::image_length(2));
    frame::Frame answer;
    frame::parse_image(answer, core.reply_data(), core.reply_length());
    EXPECT_EQ(answer.control.command, frame::command::reset);
    EXPECT_EQ(answer.safe_data[0], 0);
    EXPECT_EQ(answer.control.connection_id, 0);
    EXPECT_EQ(core.master_error(), 5);
    EXPECT_EQ(core.phase(), slave::Phase::reset);
    EXPECT_EQ(core.sequence_number(), 1);
    EXPECT_FALSE(core.reply(request.data(), length, 0).processed);
    EXPECT_EQ(core.requests(), 1u);
}

TEST(SlaveCore, RefusesAFrameOfTheWrongLength) {
    slave::SlaveCore core(config_2x2());
    const uint8_t request[3] = {0x4E, 0, 0};
    const slave::Outcome outcome = core.reply(request, sizeof request, 0);
    ASSERT_TRUE(outcome.rejected);
    EXPECT_EQ(outcome.rejection.error, slave::error::invalid_crc);
    EXPECT_STREQ(outcome.rejection.reason.data(), "frame of 3 bytes, expected 7");
    EXPECT_EQ(core.reply_data()[0], frame::command::reset);
    EXPECT_EQ(core.reply_data()[1], slave::error::invalid_crc);
}

TEST(SlaveCore, FaultQueueIsBoundedAndFirstInFirstOut) {
    slave::FaultQueue queue;
    for (uint16_t i = 0; i < slave::FaultQueue::capacity; ++i) ASSERT_TRUE(queue.push({slave::FaultKind::command, i}));
    EXPECT_FALSE(queue.push({slave::FaultKind::reset, 0}));
    EXPECT_EQ(queue.pop().argument, 0);
    EXPECT_EQ(queue.pop().argument, 1);
    queue.clear();
    EXPECT_EQ(queue.pop().kind, slave::FaultKind::none);
}

}  // namespace

#pragma once
// The FSoE frame: control words, 8 safe-data words, 8 CRC words and the safe-data size,
// with its byte image, slot CRCs and safe data as bytes. Fixed size, allocation-free.
//
// Byte image for safe-data size s with n = (s + 1) / 2 slots, 16-bit values low byte first:
//   command; per slot: its safe bytes (two, or one in the last slot of an odd size), its CRC;
//   connection id.
// That is 3 bytes for s = 0, 6 for s = 1 and 4k + 3 for s = 2k.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/control.hpp"
#include "frame/crc.hpp"

namespace tamsel::frame {

inline constexpr std::size_t BYTES_PER_WORD = 2;
inline constexpr std::size_t MAX_DATA_WORDS = 8;
inline constexpr std::size_t MAX_DATA_BYTES = MAX_DATA_WORDS * BYTES_PER_WORD;
inline constexpr std::size_t MAX_CRC_WORDS = 8;

using DataWords = std::array<uint16_t, MAX_DATA_WORDS>;
using CrcWords = std::array<uint16_t, MAX_CRC_WORDS>;

// Number of CRC slots for a safe-data size (sizes 1 and 2 have one, 0 has none).
constexpr std::size_t slot_count(std::size_t safe_data_size) { return (safe_data_size + 1) / 2; }

// Length of the byte image of a frame with this safe-data size.
constexpr std::size_t image_length(std::size_t safe_data_size) {
    return 2 * slot_count(safe_data_size) + safe_data_size + 3;
}

inline constexpr std::size_t MAX_IMAGE_BYTES = image_length(MAX_DATA_BYTES);

// Safe-data size a byte image of `length` bytes is taken to carry: ceil(length / 2) - 2 words'
// worth of bytes, 0 for images shorter than 5 bytes. May exceed MAX_DATA_BYTES.
constexpr std::size_t safe_data_size_for_length(std::size_t length) {
    const std::size_t words = length / BYTES_PER_WORD + length % BYTES_PER_WORD;
    return words >= 3 ? words - 2 : 0;
}

// Longest byte image whose safe-data size fits a frame.
inline constexpr std::size_t MAX_PARSE_LENGTH = 2 * (MAX_DATA_BYTES + 2);

struct Frame {
    FrameControl control;
    DataWords safe_data{};        // safe-data byte 2k is the low byte of word k
    CrcWords crcs{};              // CRC word i belongs to slot i
    uint16_t safe_data_size = 0;  // at most MAX_DATA_BYTES

    constexpr std::size_t slots() const { return slot_count(safe_data_size); }
};

// CRC of slot `index` (< MAX_CRC_WORDS) from the frame's current fields.
constexpr uint16_t slot_crc(const Frame& frame, std::size_t index) {
    return slot_crc_from(slot_crc_prefix(frame.control), static_cast<uint16_t>(index), frame.safe_data[index],
                         frame.safe_data_size == 1);
}

constexpr uint16_t calc_crc0(const Frame& frame) { return slot_crc(frame, 0); }

// Writes the CRC of every slot; CRC words past the slots keep their values.
constexpr void generate_crcs(Frame& frame) {
    const uint16_t prefix = slot_crc_prefix(frame.control);
    const bool single_byte = frame.safe_data_size == 1;
    const std::size_t slots = frame.slots();
    for (std::size_t i = 0; i < slots; ++i)
        frame.crcs[i] = slot_crc_from(prefix, static_cast<uint16_t>(i), frame.safe_data[i], single_byte);
}

// Computes every slot's CRC into `calculated` (entries past the slots untouched) and tells
// whether all of them match the CRC words. A frame without slots checks true.
constexpr bool check_crcs(const Frame& frame, CrcWords& calculated) {
    const uint16_t prefix = slot_crc_prefix(frame.control);
    const bool single_byte = frame.safe_data_size == 1;
    const std::size_t slots = frame.slots();
    bool valid = true;
    for (std::size_t i = 0; i < slots; ++i) {
        calculated[i] = slot_crc_from(prefix, static_cast<uint16_t>(i), frame.safe_data[i], single_byte);
        valid = valid && calculated[i] == frame.crcs[i];
    }
    return valid;
}

// Generates the CRCs so that CRC_0 differs from `last_sent_crc0`, stepping the sequence number
// as often as needed. `after_pass()` runs after every generation; returning false stops
// (the result is then false). A frame without slots has no CRC_0 to move: one pass only.
template <typename AfterPass>
constexpr bool generate_crcs_cyclic(Frame& frame, uint16_t last_sent_crc0, AfterPass&& after_pass) {
    generate_crcs(frame);
    if (!after_pass()) return false;
    if (frame.slots() == 0) return true;
    while (frame.crcs[0] == last_sent_crc0) {
        frame.control.increment_sequence_number();
        generate_crcs(frame);
        if (!after_pass()) return false;
    }
    return true;
}

constexpr void generate_crcs_cyclic(Frame& frame, uint16_t last_sent_crc0) {
    generate_crcs_cyclic(frame, last_sent_crc0, [] { return true; });
}

// The receiving side of the cyclic rule: steps the sequence number while the frame's CRC_0
// would equal the peer's last one. The check itself follows separately.
constexpr void step_past_crc0(Frame& frame, uint16_t last_sent_crc0) {
    while (calc_crc0(frame) == last_sent_crc0) frame.control.increment_sequence_number();
}

constexpr bool check_crcs_cyclic(Frame& frame, uint16_t last_sent_crc0, CrcWords& calculated) {
    step_past_crc0(frame, last_sent_crc0);
    return check_crcs(frame, calculated);
}

// Parses a byte image of any length into the frame. Bytes past the end of the image read as 0;
// bytes past the layout are ignored. Safe data and CRCs are replaced, the command, connection
// id and size are taken from the image; sequence number and crc0 stay. Returns false, leaving
// the frame untouched, when the length implies more than MAX_DATA_BYTES of safe data.
constexpr bool parse_image(Frame& frame, const uint8_t* data, std::size_t length) {
    const std::size_t size = safe_data_size_for_length(length);
    if (size > MAX_DATA_BYTES) return false;
    // An image shorter than its layout is read from a zero-padded copy.
    const uint8_t* image = data;
    std::array<uint8_t, MAX_PARSE_LENGTH> padded;
    if (length < image_length(size)) {
        padded.fill(0);
        std::copy_n(data, length, padded.begin());
        image = padded.data();
    }

    auto word_at = [image](std::size_t pos) { return static_cast<uint16_t>(image[pos] | image[pos + 1] << 8); };

    frame.safe_data.fill(0);
    frame.crcs.fill(0);
    frame.control.command = image[0];
    frame.safe_data_size = static_cast<uint16_t>(size);
    const std::size_t full_slots = size / 2;  // the slots with two safe-data bytes
    std::size_t pos = 1;
    for (std::size_t slot = 0; slot < full_slots; ++slot, pos += 4) {
        frame.safe_data[slot] = word_at(pos);
        frame.crcs[slot] = word_at(pos + 2);
    }
    if (size % 2 != 0) {
        frame.safe_data[full_slots] = image[pos];
        frame.crcs[full_slots] = word_at(pos + 1);
        pos += 3;
    }
    frame.control.connection_id = word_at(pos);
    return true;
}

// Writes the frame's byte image into `out` (a std::array of MAX_IMAGE_BYTES, or a pointer to
// at least image_length of the size bytes); returns its length (image_length of the size).
template <typename Bytes>
constexpr std::size_t build_image(const Frame& frame, Bytes& out) {
    const std::size_t size = std::min<std::size_t>(frame.safe_data_size, MAX_DATA_BYTES);
    std::size_t pos = 0;
    auto put = [&](uint16_t word) {
        out[pos++] = static_cast<uint8_t>(word);
        out[pos++] = static_cast<uint8_t>(word >> 8);
    };
    out[pos++] = static_cast<uint8_t>(frame.control.command);
    const std::size_t full_slots = size / 2;  // the slots with two safe-data bytes
    for (std::size_t slot = 0; slot < full_slots; ++slot) {
        put(frame.safe_data[slot]);
        put(frame.crcs[slot]);
    }
    if (size % 2 != 0) {
        out[pos++] = static_cast<uint8_t>(frame.safe_data[full_slots]);
        put(frame.crcs[full_slots]);
    }
    put(frame.control.connection_id);
    return pos;
}

// Replaces the safe-data words with `data` (byte 2k low, 2k + 1 high of word k; the rest 0).
// Size and CRCs stay. Returns false, changing nothing, for more than MAX_DATA_BYTES bytes.
constexpr bool set_safe_data_bytes(Frame& frame, const uint8_t* data, std::size_t length) {
    if (length > MAX_DATA_BYTES) return false;
    frame.safe_data.fill(0);
    for (std::size_t k = 0; k < length / 2; ++k)
        frame.safe_data[k] = static_cast<uint16_t>(data[2 * k] | data[2 * k + 1] << 8);
    if (length % 2 != 0) frame.safe_data[length / 2] = data[length - 1];
    return true;
}

// All 8 safe-data words as 16 bytes, whatever the safe-data size.
constexpr void get_safe_data_bytes(const Frame& frame, std::array<uint8_t, MAX_DATA_BYTES>& out) {
    for (std::size_t k = 0; k < MAX_DATA_WORDS; ++k) {
        out[2 * k] = static_cast<uint8_t>(frame.safe_data[k]);
        out[2 * k + 1] = static_cast<uint8_t>(frame.safe_data[k] >> 8);
    }
}

}  // namespace tamsel::frame

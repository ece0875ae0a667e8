#pragma once
// The eight safety data types and the integer form their values take in safe data.
//
// The integer form of a value is an unsigned number of `bits(type)` bits: integers in two's
// complement, FLOAT as the bit pattern of an IEEE 754 single, BOOL as 0 or 1. Everything here
// works on plain numbers; the host-object side lives in data_type_object.hpp.
#include <bit>
#include <iterator>
#include <cstdint>
#include <limits>
#include <optional>

namespace tamsel::data {

// Numbered like the members of the host enumeration.
enum class DataType : uint8_t { BOOL = 1, FLOAT, UINT8, INT8, UINT16, INT16, UINT32, INT32 };

inline constexpr DataType all_data_types[] = {DataType::BOOL,   DataType::FLOAT, DataType::UINT8,  DataType::INT8,
                                              DataType::UINT16, DataType::INT16, DataType::UINT32, DataType::INT32};
inline constexpr int data_type_count = static_cast<int>(std::size(all_data_types));

// The member numbered `number`, if there is one.
constexpr std::optional<DataType> data_type_from_number(long number) noexcept {
    if (number < 1 || number > data_type_count) return std::nullopt;
    return static_cast<DataType>(number);
}

constexpr int data_type_number(DataType type) noexcept { return static_cast<int>(type); }

// Ceiling of a / b for b > 0 (the caller refuses b == 0).
constexpr uint16_t div_ceil(uint16_t a, uint16_t b) noexcept { return static_cast<uint16_t>(a / b + (a % b != 0)); }

// `number` rounded up to the next multiple of `boundary` (> 0); may exceed 16 bits.
constexpr uint32_t align_bits(uint16_t number, uint16_t boundary) noexcept {
    return static_cast<uint32_t>(boundary) * div_ceil(number, boundary);
}

constexpr uint8_t bits(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL: return 1;
        case DataType::UINT8:
        case DataType::INT8: return 8;
        case DataType::UINT16:
        case DataType::INT16: return 16;
        case DataType::FLOAT:
        case DataType::UINT32:
        case DataType::INT32: return 32;
    }
    return 0;
}

constexpr uint8_t bytes(DataType type) noexcept { return static_cast<uint8_t>(div_ceil(bits(type), 8)); }

constexpr bool is_integer(DataType type) noexcept { return type != DataType::BOOL && type != DataType::FLOAT; }

constexpr bool is_signed(DataType type) noexcept {
    return type == DataType::INT8 || type == DataType::INT16 || type == DataType::INT32;
}

// Range of an integer type (only meaningful when is_integer(type)).
constexpr int64_t max_value(DataType type) noexcept {
    if (!is_integer(type)) return 0;
    int shift = is_signed(type) ? bits(type) - 1 : bits(type);
    return (int64_t{1} << shift) - 1;
}

constexpr int64_t min_value(DataType type) noexcept { return is_signed(type) ? -max_value(type) - 1 : 0; }

// Integer form of an integer-type value, or nothing when the value is outside the type's range.
constexpr std::optional<uint32_t> serialize_integer(DataType type, int64_t value) noexcept {
    if (!is_integer(type) || value < min_value(type) || value > max_value(type)) return std::nullopt;
    if (value < 0) value += int64_t{1} << bits(type);
    return static_cast<uint32_t>(value);
}

// Integer form of a BOOL given as a number: only 0 and 1 are valid.
constexpr std::optional<uint32_t> serialize_bool(int64_t value) noexcept {
    if (value == 0 || value == 1) return static_cast<uint32_t>(value);
    return std::nullopt;
}

// Single and double precision with NaNs kept bit for bit: the payload, the sign and the quiet
// bit of a single NaN survive the trip through a double and back (a hardware conversion would
// quiet a signalling NaN and so change the integer form).
constexpr double widen_float(float value) noexcept {
    uint32_t raw = std::bit_cast<uint32_t>(value);
    if ((raw & 0x7F800000u) != 0x7F800000u || (raw & 0x007FFFFFu) == 0) return static_cast<double>(value);
    uint64_t sign = static_cast<uint64_t>(raw >> 31) << 63;
    uint64_t payload = static_cast<uint64_t>(raw & 0x007FFFFFu) << 29;
    return std::bit_cast<double>(sign | 0x7FF0000000000000ull | payload);
}

// A double narrowed to single precision with IEEE round-to-nearest, overflowing to infinity
// (the plain cast is undefined for finite values beyond the float range); NaNs keep the top
// of their payload and stay NaNs.
constexpr float narrow_to_float(double value) noexcept {
    constexpr double overflow = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    if (value == value) return static_cast<float>(value);
    uint64_t raw = std::bit_cast<uint64_t>(value);
    uint32_t payload = static_cast<uint32_t>((raw >> 29) & 0x007FFFFFu);
    if (payload == 0) payload = 0x00400000u;  // only low payload bits: a quiet NaN
    return std::bit_cast<float>(static_cast<uint32_t>(raw >> 63 << 31) | 0x7F800000u | payload);
}

constexpr uint32_t serialize_float(float value) noexcept { return std::bit_cast<uint32_t>(value); }
constexpr float unserialize_float(uint32_t raw) noexcept { return std::bit_cast<float>(raw); }

constexpr bool unserialize_bool(uint64_t raw) noexcept { return raw != 0; }

// Value of an integer type from its integer form. `raw` is not range-checked: an unsigned type
// returns it unchanged, a signed type subtracts 2^bits when bit bits-1 is set. Exact for
// |raw| < 2^62 (callers hand larger numbers to the host's unbounded integers).
constexpr int64_t unserialize_integer(DataType type, int64_t raw) noexcept {
    if (!is_signed(type)) return raw;
    int width = bits(type);
    if ((raw >> (width - 1)) & 1) return raw - (int64_t{1} << width);
    return raw;
}

inline constexpr int64_t unserialize_integer_limit = int64_t{1} << 62;

}  // namespace tamsel::data

#pragma once
// The safe data of a frame as one 128-bit stream, and the packing of entries into it.
//
// Stream bit n is bit n % 16 of safe-data word n / 16 (bit n % 8 of byte n / 8). An entry at
// `position` with `width` bits carries bit i of its value in stream bit position + i. The
// stream is held as two 64-bit halves (words 0-3 and 4-7), so an entry of up to 64 bits is
// placed with at most two shifts whatever its alignment.
#include <cstdint>
#include <span>

namespace tamsel::mapping {

inline constexpr unsigned kStreamWords = 8;
inline constexpr unsigned kStreamBits = kStreamWords * 16;

// A value of up to 128 bits, least significant half first.
struct WideValue {
    uint64_t low = 0;
    uint64_t high = 0;
    friend constexpr bool operator==(const WideValue&, const WideValue&) = default;
};

// The low `width` bits set (width may be 0 or 64 and more).
constexpr uint64_t low_mask(unsigned width) { return width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1; }

// Whether an entry lies inside the stream.
constexpr bool fits_stream(unsigned position, unsigned width) { return position + width <= kStreamBits; }

// Where an entry of up to 64 bits lies in the stream, worked out once for many reads.
struct Field {
    uint64_t mask = 0;       // the low `width` bits
    uint8_t half = 0;        // the half holding the entry's first bit
    uint8_t shift = 0;       // that bit's place in its half
    bool straddles = false;  // the entry goes on into the second half
};

// The field of the entry at `position` with `width` bits (width <= 64).
// Precondition: fits_stream(position, width).
constexpr Field field(unsigned position, unsigned width) {
    if (width == 0) return {};  // reads 0 wherever it stands, even at the stream's end
    return {low_mask(width), static_cast<uint8_t>(position / 64), static_cast<uint8_t>(position % 64),
            position < 64 && position + width > 64};
}

class BitStream {
public:
    constexpr BitStream() = default;

    static constexpr BitStream from_words(std::span<const uint16_t, kStreamWords> words) {
        BitStream stream;
        for (unsigned k = 0; k < kStreamWords; ++k) stream.half_[k / 4] |= uint64_t{words[k]} << (16 * (k % 4));
        return stream;
    }

    constexpr void to_words(std::span<uint16_t, kStreamWords> words) const {
        for (unsigned k = 0; k < kStreamWords; ++k) words[k] = static_cast<uint16_t>(half_[k / 4] >> (16 * (k % 4)));
    }

    // ORs the low `width` bits of `value` (width <= 64) into the stream at `position`. Bits
    // of `value` above `width` are dropped, so an entry never touches its neighbours.
    // Precondition: fits_stream(position, width).
    constexpr void put(unsigned position, unsigned width, uint64_t value) {
        if (width == 0) return;
        value &= low_mask(width);
        if (position >= 64) {
            half_[1] |= value << (position - 64);
            return;
        }
        half_[0] |= value << position;
        if (position + width > 64) half_[1] |= value >> (64 - position);
    }

    // The `width` bits (width <= 64) at `position`. Precondition: fits_stream(position, width).
    constexpr uint64_t get(unsigned position, unsigned width) const {
        if (width == 0) return 0;
        if (position >= 64) return (half_[1] >> (position - 64)) & low_mask(width);
        uint64_t value = half_[0] >> position;
        if (position + width > 64) value |= half_[1] << (64 - position);
        return value & low_mask(width);
    }

    // The same for a field worked out beforehand.
    constexpr uint64_t get(const Field& f) const {
        uint64_t value = half_[f.half] >> f.shift;
        if (f.straddles) value |= half_[1] << (64 - f.shift);
        return value & f.mask;
    }

    // The same for entries of up to 128 bits.
    constexpr void put_wide(unsigned position, unsigned width, WideValue value) {
        put(position, width < 64 ? width : 64, value.low);
        if (width > 64) put(position + 64, width - 64, value.high);
    }

    constexpr WideValue get_wide(unsigned position, unsigned width) const {
        WideValue value{get(position, width < 64 ? width : 64), 0};
        if (width > 64) value.high = get(position + 64, width - 64);
        return value;
    }

    friend constexpr bool operator==(const BitStream&, const BitStream&) = default;

private:
    uint64_t half_[2] = {0, 0};
};

}  // namespace tamsel::mapping

#pragma once
// Fixed-capacity ring of captured frame images: the newest `capacity` frames a handler sent
// or accepted, each with a monotonic timestamp, its direction and the master's state.
// Recording copies at most MAX_PARSE_LENGTH bytes and allocates nothing.
#include "frame/frame.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel::master {

enum class Direction : uint8_t { master_to_slave = 0, slave_to_master = 1 };

// State codes are the states' `id` values; `unknown_state` marks a state of no known class.
inline constexpr uint8_t unknown_state = 0xFF;

struct CapturedFrame {
    int64_t time_ns = 0;
    Direction direction = Direction::master_to_slave;
    uint8_t state = unknown_state;
    uint8_t length = 0;            // bytes kept in `bytes`
    uint32_t original_length = 0;  // length of the image as the handler saw it
    std::array<uint8_t, frame::MAX_PARSE_LENGTH> bytes{};
};

class FrameRing {
public:
    // The largest capacity a ring is built with (about 48 MiB of frames).
    static constexpr std::size_t max_capacity = 1u << 20;

    explicit FrameRing(std::size_t capacity) : slots_(std::clamp<std::size_t>(capacity, 1, max_capacity)) {}

    void record(int64_t time_ns, Direction direction, uint8_t state, const uint8_t* data, std::size_t length) {
        CapturedFrame& slot = slots_[next_];
        slot.time_ns = time_ns;
        slot.direction = direction;
        slot.state = state;
        slot.original_length = static_cast<uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
        slot.length = static_cast<uint8_t>(std::min(length, slot.bytes.size()));
        std::copy_n(data, slot.length, slot.bytes.begin());
        next_ = next_ + 1 == slots_.size() ? 0 : next_ + 1;
        ++recorded_;
    }

    std::size_t capacity() const { return slots_.size(); }
    std::size_t size() const { return static_cast<std::size_t>(std::min<uint64_t>(recorded_, slots_.size())); }
    // Frames recorded since the ring was built or cleared, including those overwritten.
    uint64_t recorded() const { return recorded_; }

    // The i-th frame kept, oldest first (i < size()).
    const CapturedFrame& operator[](std::size_t i) const {
        const std::size_t oldest = recorded_ > slots_.size() ? next_ : 0;
        const std::size_t at = oldest + i;
        return slots_[at < slots_.size() ? at : at - slots_.size()];
    }

    void clear() {
        next_ = 0;
        recorded_ = 0;
    }

private:
    std::vector<CapturedFrame> slots_;
    std::size_t next_ = 0;
    uint64_t recorded_ = 0;
};

}  // namespace tamsel::master

#pragma once
// Error codes a slave answers with, and the faults a test can make it send.
#include <array>
#include <cstddef>
#include <cstdint>

namespace tamsel::slave {

namespace error {
inline constexpr uint16_t reset = 0;
inline constexpr uint16_t invalid_cmd = 1;
inline constexpr uint16_t unknown_cmd = 2;
inline constexpr uint16_t invalid_connid = 3;
inline constexpr uint16_t invalid_crc = 4;
inline constexpr uint16_t wd_expired = 5;
inline constexpr uint16_t invalid_address = 6;
inline constexpr uint16_t invalid_commparalen = 8;
inline constexpr uint16_t invalid_compara = 9;
inline constexpr uint16_t invalid_userparalen = 10;
inline constexpr uint16_t invalid_userpara = 11;
}  // namespace error

enum class FaultKind : uint8_t {
    none,
    corrupt_crc,            // argument: slot whose CRC word is flipped
    corrupt_connection_id,  // connection id changed after the CRCs were computed
    command,                // argument: the command byte sent instead
    reset,                  // argument: error code of a Reset frame sent instead of the answer
    corrupt_echo,           // first echoed byte flipped (only reported, never queued)
};

struct Fault {
    FaultKind kind = FaultKind::none;
    uint16_t argument = 0;
};

// Faults waiting for the next replies, first in first out, fixed capacity.
class FaultQueue {
public:
    static constexpr std::size_t capacity = 32;

    constexpr bool push(Fault fault) {
        if (count_ == capacity) return false;
        items_[(head_ + count_++) % capacity] = fault;
        return true;
    }

    constexpr Fault pop() {
        if (count_ == 0) return {};
        Fault fault = items_[head_];
        head_ = (head_ + 1) % capacity;
        --count_;
        return fault;
    }

    constexpr bool empty() const { return count_ == 0; }
    constexpr void clear() { head_ = count_ = 0; }

private:
    std::size_t head_ = 0;
    std::size_t count_ = 0;  // read for every reply, so it comes before the items
    std::array<Fault, capacity> items_{};
};

}  // namespace tamsel::slave

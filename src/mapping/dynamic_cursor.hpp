#pragma once
// Byte cursor of a dynamic map: streams the bytes of a list of small integer values through
// successive frames, least significant byte first, a fixed number of bytes per frame.
//
// Pure C++, allocation-free. The items are reached through an accessor so the list itself can
// live anywhere (a host list of item objects, a plain array in tests):
//
//   struct Items {
//       std::int64_t count() const;                // number of items
//       DynamicValue* operator()(std::int64_t i);  // item i, or null when it cannot be used
//   };
//
// A null item aborts the transfer; the counters stay as far as they got.
#include <cstddef>
#include <cstdint>
#include <span>

namespace tamsel::mapping {

// One streamed value: its integer form and the number of its bytes that travel (at most 4).
struct DynamicValue {
    std::uint32_t raw = 0;
    std::uint8_t n_bytes = 0;
};

inline constexpr std::uint8_t max_dynamic_value_bytes = 4;

// Byte `index` of `raw` (0 = least significant); bytes beyond the 32-bit form read as 0.
constexpr std::uint8_t dynamic_byte(std::uint32_t raw, std::int32_t index) {
    if (index < 0 || index >= max_dynamic_value_bytes) return 0;
    return static_cast<std::uint8_t>(raw >> (8 * index));
}

// `raw` with byte `index` replaced by `byte`; bytes beyond the 32-bit form are dropped.
constexpr std::uint32_t with_dynamic_byte(std::uint32_t raw, std::int32_t index, std::uint8_t byte) {
    if (index < 0 || index >= max_dynamic_value_bytes) return raw;
    const int shift = 8 * index;
    return (raw & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{byte} << shift);
}

// Whether the lowest `n_bytes` bytes of `a` and `b` are equal.
constexpr bool dynamic_prefix_equal(std::uint32_t a, std::uint32_t b, std::int32_t n_bytes) {
    if (n_bytes <= 0) return true;
    const std::uint64_t mask = n_bytes >= max_dynamic_value_bytes ? 0xFFFFFFFFull
                                                                  : (std::uint64_t{1} << (8 * n_bytes)) - 1;
    return (a & mask) == (b & mask);
}

struct DynamicCursor {
    std::int32_t total_bytes = 0;        // sum of the sizes of the added items
    std::int32_t bytes_processed = 0;    // bytes sent or received so far
    std::int32_t items_processed = 0;    // items completely sent or received
    std::int32_t current_item = 0;       // index of the item being transferred
    std::int32_t current_item_byte = 0;  // next byte of that item

    void reset() { *this = DynamicCursor{}; }
    bool pending() const { return bytes_processed < total_bytes; }

    // Closes the current item and moves to the next one.
    void advance() {
        ++items_processed;
        ++current_item;
        current_item_byte = 0;
    }

    // Sending side: writes the next bytes into `out` (one frame's worth: `out.size()` bytes at
    // most) and returns how many were written, or -1 when an item could not be used.
    // A completed item is closed at once, so afterwards `current_item_byte` is below the
    // current item's size.
    template <class Items>
    std::ptrdiff_t put(Items& items, std::span<std::uint8_t> out) {
        const std::int64_t count = items.count();
        if (current_item >= count) return 0;
        DynamicValue* item = items(current_item);
        if (item == nullptr) return -1;
        std::size_t written = 0;
        while (written < out.size()) {
            if (current_item_byte >= item->n_bytes) {
                advance();
                if (current_item >= count) break;
                item = items(current_item);
                if (item == nullptr) return -1;
            }
            out[written++] = dynamic_byte(item->raw, current_item_byte);
            ++current_item_byte;
            ++bytes_processed;
        }
        if (current_item_byte >= item->n_bytes) advance();
        return static_cast<std::ptrdiff_t>(written);
    }

    // Receiving side: stores the bytes of `in` into the pending items, in order. Every item
    // after the first one of this call starts from a zero value. Bytes left over once the items
    // are exhausted are ignored. False when an item could not be used.
    template <class Items>
    bool take(Items& items, std::span<const std::uint8_t> in) {
        const std::int64_t count = items.count();
        if (current_item >= count) return true;
        DynamicValue* item = items(current_item);
        if (item == nullptr) return false;
        for (std::uint8_t byte : in) {
            if (current_item_byte >= item->n_bytes) {
                advance();
                if (current_item >= count) break;
                item = items(current_item);
                if (item == nullptr) return false;
                item->raw = 0;
            }
            item->raw = with_dynamic_byte(item->raw, current_item_byte, byte);
            ++current_item_byte;
            ++bytes_processed;
        }
        if (current_item_byte >= item->n_bytes) advance();
        return true;
    }
};

}  // namespace tamsel::mapping

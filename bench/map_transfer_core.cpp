// Times the bit-stream packing and unpacking of a 16-item, 16-byte layout: the native work of
// one map transfer without any host object. Built and run by bench/map_transfer.py.
#include "mapping/bit_stream.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

using tamsel::mapping::BitStream;

namespace {

struct Entry {
    uint8_t position, bits;
};

template <typename F>
double median_ns(F&& body, int loops) {
    std::vector<double> samples;
    for (int repeat = 0; repeat < 15; ++repeat) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < loops; ++i) body(i);
        std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        samples.push_back(elapsed.count() / loops);
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main() {
    std::array<Entry, 16> layout;
    for (unsigned k = 0; k < layout.size(); ++k) layout[k] = {static_cast<uint8_t>(8 * k), 8};
    volatile uint64_t seed = 0x5A;
    std::array<uint64_t, 16> values;
    for (unsigned k = 0; k < values.size(); ++k) values[k] = (seed + k) & 0xFF;
    std::array<uint16_t, 8> words{};
    volatile uint64_t sink = 0;

    double pack = median_ns(
        [&](int i) {
            BitStream stream;
            for (unsigned k = 0; k < layout.size(); ++k)
                stream.put(layout[k].position, layout[k].bits, values[k] + static_cast<unsigned>(i));
            stream.to_words(words);
            sink = sink + words[i & 7];
        },
        200000);
    double unpack = median_ns(
        [&](int i) {
            words[i & 7] = static_cast<uint16_t>(i);
            BitStream stream = BitStream::from_words(words);
            uint64_t total = 0;
            for (unsigned k = 0; k < layout.size(); ++k) total += stream.get(layout[k].position, layout[k].bits);
            sink = sink + total;
        },
        200000);
    std::printf("%.1f %.1f\n", pack, unpack);
    return 0;
}

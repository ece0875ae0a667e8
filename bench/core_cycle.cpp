// The frame work of one Data-state cycle on the pure C++ core, over recorded frames: parse the
// slave's reply, check its CRCs (cyclic rule), unpack the inputs, pack the outputs, generate the
// request's CRCs (cyclic rule) and build its byte image. Reads the frames written by cycle.py
// from standard input and prints the median cost of one cycle in nanoseconds.
//
// Input (whitespace separated): out_size in_size; n_out, then position width value per output
// entry; n_in, then position width per input entry; master sequence number, master crc0, slave
// sequence number, slave crc0, master last CRC_0, slave last CRC_0 at the first recorded cycle;
// command; connection id; rounds; batch; N; then N pairs of hex images (reply, expected request).
// Every round replays all N frames; each batch of `batch` cycles is timed on its own.
#include "frame/frame.hpp"
#include "mapping/bit_stream.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace tamsel;

struct Entry {
    unsigned position;
    unsigned width;
    uint64_t value;
};

struct Image {
    std::array<uint8_t, frame::MAX_PARSE_LENGTH> bytes{};
    std::size_t length = 0;
};

Image from_hex(const std::string& text) {
    Image image;
    image.length = std::min(text.size() / 2, image.bytes.size());
    for (std::size_t i = 0; i < image.length; ++i)
        image.bytes[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return image;
}

struct Link {
    frame::Frame master, slave;
    uint16_t master_last = 0, slave_last = 0;
    std::vector<Entry> outputs, inputs;
    uint16_t command = 0, connection_id = 0;
    std::size_t valid = 0, changes = 0;

    void cycle(const Image& reply, Image& request) {
        frame::parse_image(slave, reply.bytes.data(), reply.length);
        master.control.crc0 = slave.crcs[0];
        frame::CrcWords calculated{};
        const bool ok = frame::is_command(slave.control.command) && slave.control.connection_id == connection_id &&
                        frame::check_crcs_cyclic(slave, slave_last, calculated);
        if (ok) {
            ++valid;
            const auto stream = mapping::BitStream::from_words(slave.safe_data);
            for (Entry& entry : inputs) {
                const uint64_t value = stream.get(entry.position, entry.width);
                if (value != entry.value) {
                    entry.value = value;
                    ++changes;
                }
            }
        }
        slave.control.increment_sequence_number();
        slave_last = slave.crcs[0];

        mapping::BitStream packed;
        for (const Entry& entry : outputs) packed.put(entry.position, entry.width, entry.value);
        packed.to_words(master.safe_data);
        master.control.command = command;
        master.control.connection_id = connection_id;
        frame::generate_crcs_cyclic(master, master_last);
        master_last = master.crcs[0];
        slave.control.crc0 = master.crcs[0];
        master.control.increment_sequence_number();
        std::array<uint8_t, frame::MAX_IMAGE_BYTES> out;
        request.length = frame::build_image(master, out);
        std::memcpy(request.bytes.data(), out.data(), request.length);
    }
};

}  // namespace

int main() {
    Link start;
    unsigned out_size = 0, in_size = 0, count = 0;
    std::cin >> out_size >> in_size >> count;
    start.outputs.resize(count);
    for (Entry& e : start.outputs) std::cin >> e.position >> e.width >> e.value;
    std::cin >> count;
    start.inputs.resize(count);
    for (Entry& e : start.inputs) std::cin >> e.position >> e.width;
    start.master.safe_data_size = static_cast<uint16_t>(out_size);
    start.slave.safe_data_size = static_cast<uint16_t>(in_size);
    std::cin >> start.master.control.sequence_number >> start.master.control.crc0 >>
        start.slave.control.sequence_number >> start.slave.control.crc0 >> start.master_last >> start.slave_last >>
        start.command >> start.connection_id;
    std::size_t rounds = 0, batch = 0, n = 0;
    std::cin >> rounds >> batch >> n;
    std::vector<Image> replies(n), expected(n), built(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string reply, request;
        std::cin >> reply >> request;
        replies[i] = from_hex(reply);
        expected[i] = from_hex(request);
    }
    if (!std::cin || batch == 0) {
        std::fprintf(stderr, "core_cycle: malformed input\n");
        return 2;
    }

    std::vector<double> per_cycle_ns;
    for (std::size_t round = 0; round < rounds; ++round) {
        Link link = start;
        for (std::size_t first = 0; first < n; first += batch) {
            const std::size_t last = std::min(n, first + batch);
            const auto began = std::chrono::steady_clock::now();
            for (std::size_t i = first; i < last; ++i) link.cycle(replies[i], built[i]);
            const auto took = std::chrono::steady_clock::now() - began;
            per_cycle_ns.push_back(std::chrono::duration<double, std::nano>(took).count() /
                                   static_cast<double>(last - first));
        }
        if (link.valid != n) {
            std::fprintf(stderr, "core_cycle: %zu of %zu replies checked valid\n", link.valid, n);
            return 1;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (built[i].length != expected[i].length ||
                std::memcmp(built[i].bytes.data(), expected[i].bytes.data(), built[i].length) != 0) {
                std::fprintf(stderr, "core_cycle: request %zu differs from the handler's\n", i);
                return 1;
            }
        }
    }
    std::nth_element(per_cycle_ns.begin(), per_cycle_ns.begin() + per_cycle_ns.size() / 2, per_cycle_ns.end());
    std::printf("%.1f\n", per_cycle_ns[per_cycle_ns.size() / 2]);
    return 0;
}

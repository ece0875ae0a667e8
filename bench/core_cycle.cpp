// One Data-state cycle of the master core, over recorded frames: the reply taken and the next
// request computed by the very rules the module runs (core::process_reply, core::compute_request),
// over a port of plain structs. The benchmark's floor: no interpreter, no host objects. Reads
// the frames written by cycle.py from standard input and prints the median cost of one cycle in
// nanoseconds.
//
// Input (whitespace separated): out_size in_size; n_out, then position width value per output
// entry; n_in, then position width per input entry; master sequence number, master crc0, slave
// sequence number, slave crc0, master last CRC_0, slave last CRC_0 at the first recorded cycle;
// command; connection id; rounds; batch; N; then N pairs of hex images (reply, expected request).
// Every round replays all N frames; each batch of `batch` cycles is timed on its own.
#include "mapping/bit_stream.hpp"
#include "master_test_port.hpp"

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

testing::Bytes from_hex(const std::string& text) {
    testing::Bytes bytes(std::min(text.size() / 2, std::size_t{frame::MAX_PARSE_LENGTH}));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return bytes;
}

// The dictionary's side of the cycle: outputs packed into the request, inputs unpacked from
// an accepted reply, bit by bit as the module's maps do.
struct Items {
    std::vector<Entry> outputs, inputs;
    std::size_t accepted = 0, changes = 0;
};

// The plain port with the dictionary's items in place of the test's bytes, and no record of
// the transitions beyond a count of accepted replies.
class BenchPort : public testing::TestPort {
public:
    BenchPort(testing::Connection& c, Items& items) : TestPort(c), c_(c), items_(items) {}

    bool log(core::Transition t) {
        items_.accepted += t == core::Transition::data_ok1;
        return true;
    }
    bool map_master_outputs() {
        mapping::BitStream packed;
        for (const Entry& entry : items_.outputs) packed.put(entry.position, entry.width, entry.value);
        packed.to_words(c_.master.frame.safe_data);
        c_.master.frame.control.command = c_.data_command;
        return true;
    }
    bool read_slave_inputs() {
        const auto stream = mapping::BitStream::from_words(c_.slave.frame.safe_data);
        for (Entry& entry : items_.inputs) {
            const uint64_t value = stream.get(entry.position, entry.width);
            items_.changes += value != entry.value;
            entry.value = value;
        }
        return true;
    }
    // The rules reach these through the port's own type.
    bool fill_request_from_state() { return core::map_frame(*this, c_.state) == 0; }
    Next frame_received_event() { return core::frame_received(*this, c_.state); }

private:
    testing::Connection& c_;
    Items& items_;
};

struct Link {
    testing::Connection connection;
    Items items;

    void cycle(const testing::Bytes& reply, testing::Bytes& request) {
        connection.reply.assign(reply.begin(), reply.end());
        BenchPort port(connection, items);
        if (!core::process_reply(port) || !core::compute_request(port)) return;
        std::array<uint8_t, frame::MAX_IMAGE_BYTES> image;
        const std::size_t length = frame::build_image(connection.master.frame, image);
        request.assign(image.begin(), image.begin() + length);
    }
};

}  // namespace

int main() {
    unsigned out_size = 0, in_size = 0, count = 0;
    Items start;
    std::cin >> out_size >> in_size >> count;
    start.outputs.resize(count);
    for (Entry& e : start.outputs) std::cin >> e.position >> e.width >> e.value;
    std::cin >> count;
    start.inputs.resize(count);
    for (Entry& e : start.inputs) std::cin >> e.position >> e.width;
    unsigned master_sequence = 0, master_crc0 = 0, slave_sequence = 0, slave_crc0 = 0, master_last = 0, slave_last = 0,
             command = 0, connection_id = 0;
    std::cin >> master_sequence >> master_crc0 >> slave_sequence >> slave_crc0 >> master_last >> slave_last >>
        command >> connection_id;
    std::size_t rounds = 0, batch = 0, n = 0;
    std::cin >> rounds >> batch >> n;
    std::vector<testing::Bytes> replies(n), expected(n), built(n);
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
        Link link;
        testing::Connection& c = link.connection;
        c.state = core::State::data;
        c.flags[static_cast<int>(core::Flag::generate_crcs_cyclic_for_next_frame)] = true;
        c.master.frame.safe_data_size = c.master.safety_bytes = static_cast<uint16_t>(out_size);
        c.slave.frame.safe_data_size = c.slave.safety_bytes = static_cast<uint16_t>(in_size);
        c.master.frame.control.sequence_number = static_cast<uint16_t>(master_sequence);
        c.master.frame.control.crc0 = static_cast<uint16_t>(master_crc0);
        c.slave.frame.control.sequence_number = static_cast<uint16_t>(slave_sequence);
        c.slave.frame.control.crc0 = static_cast<uint16_t>(slave_crc0);
        c.master.last_crc0_sent = static_cast<uint16_t>(master_last);
        c.slave.last_crc0_sent = static_cast<uint16_t>(slave_last);
        c.data_command = static_cast<uint16_t>(command);
        c.master.session.connection_id.raw = connection_id;
        link.items = start;
        for (std::size_t first = 0; first < n; first += batch) {
            const std::size_t last = std::min(n, first + batch);
            const auto began = std::chrono::steady_clock::now();
            for (std::size_t i = first; i < last; ++i) link.cycle(replies[i], built[i]);
            const auto took = std::chrono::steady_clock::now() - began;
            per_cycle_ns.push_back(std::chrono::duration<double, std::nano>(took).count() /
                                   static_cast<double>(last - first));
        }
        if (link.items.accepted != n || c.state != core::State::data) {
            std::fprintf(stderr, "core_cycle: %zu of %zu replies accepted\n", link.items.accepted, n);
            return 1;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (built[i] != expected[i]) {
                std::fprintf(stderr, "core_cycle: request %zu differs from the handler's\n", i);
                return 1;
            }
        }
    }
    std::nth_element(per_cycle_ns.begin(), per_cycle_ns.begin() + per_cycle_ns.size() / 2, per_cycle_ns.end());
    std::printf("%.1f\n", per_cycle_ns[per_cycle_ns.size() / 2]);
    return 0;
}

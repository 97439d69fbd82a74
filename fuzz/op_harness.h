// Drives the C interface with a sequence of operations decoded from bytes
// and checks every step against a simple model of what the index holds.
// Shared by the operation fuzzer and the long-running soak test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "korvane.h"

namespace korvane::harness {

struct ByteSource {
    const std::uint8_t* data;
    std::size_t len;
    std::size_t pos = 0;
    bool empty() const { return pos >= len; }
    std::uint8_t byte() { return pos < len ? data[pos++] : 0; }
    std::uint64_t u64(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= std::uint64_t(byte()) << (8 * i);
        return v;
    }
};

struct Harness {
    korvane_index* index = nullptr;
    korvane_context* context = nullptr;
    std::map<std::uint64_t, std::vector<float>> live;  // the model
    std::string failure;                               // first mismatch, empty when fine
    std::uint64_t operations = 0;
    std::size_t dim = 256;                             // of the current index
    std::uint32_t metric = KORVANE_METRIC_IP;

    ~Harness();
    // Runs operations until the source is exhausted or a check fails.
    void run(ByteSource& source);
    void step(ByteSource& source);
};

// A vector derived from a small seed; some seeds give special vectors
// (zero, huge, NaN or infinite components).
std::vector<float> vectorFromSeed(std::uint64_t seed, bool allow_special, std::size_t dim = 256);

}  // namespace korvane::harness

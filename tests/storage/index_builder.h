// Indexes with every field filled directly, for the storage tests: payloads,
// raw stores and a small consistent multi-layer graph.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "common/vec.h"
#include "index/index.h"
#include "storage/format.h"

namespace korvane::testing {

struct BuildOptions {
    std::uint64_t nodes = 12;
    RawMode raw_mode = RawMode::I8;
    bool calibrated = false;
    std::vector<std::uint64_t> removed;  // node numbers
    std::uint64_t seed = 5;
};

// A heap-allocated index (release with destroyIndex). Node k has id 1000 + k
// and level 2 when k == 0, 1 when k % 4 == 0, else 0.
Index* buildIndex(const BuildOptions& options);

std::vector<std::uint8_t> imageOf(const Index& index);
Error load(const std::vector<std::uint8_t>& image, LoadedIndex& out);
// Deserializes and serializes again; empty on a load failure.
std::vector<std::uint8_t> reloadImage(const std::vector<std::uint8_t>& image);

// Offsets inside an image of n nodes.
std::size_t graphOffset(std::uint64_t n, RawMode raw_mode, bool calibrated);
// The tombstone count field of an image with t removals and empty metadata.
std::size_t tombstoneOffset(const std::vector<std::uint8_t>& image, std::uint64_t n, std::uint64_t t);

void putU64(std::vector<std::uint8_t>& image, std::size_t at, std::uint64_t value);
void putU32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value);
std::uint64_t getU64(const std::vector<std::uint8_t>& image, std::size_t at);

}  // namespace korvane::testing

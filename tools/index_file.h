// The structure of an index file, read from its documented layout
// (docs/file-format.md, with the numbers of storage/format_layout.h, the one
// header the tool shares with the library's sources): facts the C interface
// does not expose (layers, raw copies, calibration, removals). Files of the
// default shape (TQX5) and of every other shape (TQX6) are read.
// Only files the library has already accepted are described, so this walk
// only has to stay within bounds, not judge validity.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::tool {

struct LayerSummary {
    std::uint64_t nodes = 0;
    std::uint64_t links = 0;  // sum of neighbour counts
    std::uint64_t bytes = 0;
};

struct IndexFileLayout {
    std::uint64_t file_bytes = 0;
    bool shaped = false;  // a TQX6 file: another dimension or metric
    std::uint64_t dim = 0;
    std::uint32_t metric = 0;  // as the file records it (0 for TQX5: inner product)
    bool centred = false;      // a Euclidean file that carries its centre
    std::uint64_t node_count = 0;
    std::uint64_t ef_construction = 0;
    std::uint64_t entry_point = 0;
    std::uint8_t raw_mode = 0;  // kRawModeNone, kRawModeF32 or kRawModeI8
    bool calibrated = false;
    std::vector<LayerSummary> layers;
    std::uint64_t removed = 0;  // distinct removed nodes
    std::uint64_t metadata_bytes = 0;
    std::uint64_t trailing_bytes = 0;
    // Bytes of each block, in file order.
    // TQX5 files have calibration and matrix blocks, TQX6 files a shape block
    // (with the centre) and, when Euclidean, a block of squared lengths.
    std::uint64_t header_bytes = 0, calibration_bytes = 0, matrix_bytes = 0, shape_bytes = 0,
                  payload_bytes = 0, raw_bytes = 0, length_bytes = 0, graph_bytes = 0, removal_bytes = 0,
                  metadata_block_bytes = 0;
};

// Throws Failure when the file cannot be read or does not follow the layout.
IndexFileLayout readIndexFileLayout(const std::string& path);

const char* rawModeName(std::uint8_t raw_mode);

}  // namespace korvane::tool

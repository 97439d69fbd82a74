#include "index_file.h"

#include <algorithm>
#include <cstring>

#include "binary_file.h"
#include "cli_error.h"
#include "storage/format_layout.h"

namespace korvane::tool {

namespace {

// Multiplies sizes from the file, refusing results that cannot fit in it.
std::uint64_t blockBytes(const BinaryFile& file, std::uint64_t count, std::uint64_t each) {
    if (count != 0 && each > file.size() / count)
        throw Failure(file.path() + ": index file is truncated");
    return count * each;
}


void readHeader(BinaryFile& file, IndexFileLayout& layout) {
    std::uint8_t magic[sizeof kMagic];
    file.read(magic, sizeof magic, "header");
    layout.shaped = std::memcmp(magic, kShapedMagic, sizeof magic) == 0;
    if (!layout.shaped && std::memcmp(magic, kMagic, sizeof magic) != 0)
        throw Failure(file.path() + ": not an index file");
    layout.dim = file.readU32("header");
    if (layout.dim == 0 || layout.dim > kMaxFileDim) throw Failure(file.path() + ": damaged header");
    // degree and routing width, checked by the library
    file.skip(kHeaderNodeCountAt - kHeaderDegreeAt, "header");
    layout.node_count = file.readU64("header");
    layout.ef_construction = file.readU64("header");
    layout.entry_point = file.readU64("header");
    const std::uint32_t layer_count = file.readU32("header");
    blockBytes(file, layer_count, kCountBytes);
    layout.layers.resize(layer_count);
    layout.raw_mode = file.readU8("header");
    layout.calibrated = file.readU8("header") != 0;
    layout.header_bytes = kHeaderBytes;
}

// The shape block of a TQX6 file: metric, seed, centred flag, then the
// centre when flagged.
void readShape(BinaryFile& file, IndexFileLayout& layout) {
    const std::uint64_t start = file.position();
    layout.metric = file.readU32("shape block");
    file.readU64("shape block");  // seed of the matrices
    layout.centred = file.readU8("shape block") != 0;
    if (layout.centred) file.skip(blockBytes(file, layout.dim, sizeof(float)), "centre");
    layout.shape_bytes = file.position() - start;
}

LayerSummary readLayer(BinaryFile& file) {
    const std::uint64_t start = file.position();
    LayerSummary layer;
    layer.nodes = file.readU64("layer");
    blockBytes(file, layer.nodes, kNodeRecordBaseBytes);
    for (std::uint64_t i = 0; i < layer.nodes; ++i) {
        file.skip(kNodeNeighborCountAt, "node record");
        const std::uint32_t neighbours = file.readU32("node record");
        if (neighbours > kFileDegree) throw Failure(file.path() + ": damaged node record");
        file.skip(kNodeNumberBytes * neighbours, "neighbour list");
        layer.links += neighbours;
    }
    layer.bytes = file.position() - start;
    return layer;
}

std::uint64_t countRemoved(BinaryFile& file, std::uint64_t node_count) {
    const std::uint64_t listed = file.readU64("removal list");
    blockBytes(file, listed, kNodeNumberBytes);
    std::vector<bool> removed(node_count);
    std::uint64_t distinct = 0;
    for (std::uint64_t i = 0; i < listed; ++i) {
        const std::uint64_t node = file.readU64("removal list");
        if (node >= node_count) throw Failure(file.path() + ": damaged removal list");
        distinct += removed[node] ? 0 : 1;
        removed[node] = true;
    }
    return distinct;
}

std::uint64_t readMetadata(BinaryFile& file, std::uint64_t node_count) {
    std::uint64_t strings = 0;
    for (std::uint64_t i = 0; i < node_count; ++i) {
        const std::uint16_t length = file.readU16("metadata");
        file.skip(length, "metadata");
        strings += length;
    }
    return strings;
}

// Runs `step` and returns the number of bytes it consumed.
template <typename Step>
std::uint64_t measured(BinaryFile& file, Step step) {
    const std::uint64_t start = file.position();
    step();
    return file.position() - start;
}

}  // namespace

IndexFileLayout readIndexFileLayout(const std::string& path) {
    BinaryFile file(path);
    IndexFileLayout layout;
    layout.file_bytes = file.size();
    readHeader(file, layout);
    const std::uint64_t n = layout.node_count;
    if (layout.shaped) {
        readShape(file, layout);
    } else {
        layout.calibration_bytes = layout.calibrated ? kCalibrationBytes : 0;
        file.skip(layout.calibration_bytes, "calibration block");
        layout.matrix_bytes = kMatrixBytes;
        file.skip(kMatrixBytes, "matrix block");
    }
    layout.payload_bytes = blockBytes(file, n, payloadRecordBytes(layout.dim));
    file.skip(layout.payload_bytes, "payload records");
    layout.raw_bytes = blockBytes(file, n, rawBytesPerNode(layout.raw_mode, layout.dim));
    file.skip(layout.raw_bytes, "raw vectors");
    if (layout.shaped && layout.metric == kFileMetricEuclidean) {
        layout.length_bytes = blockBytes(file, n, sizeof(float));
        file.skip(layout.length_bytes, "squared lengths");
    }
    for (LayerSummary& layer : layout.layers) {
        layer = readLayer(file);
        layout.graph_bytes += layer.bytes;
    }
    layout.removal_bytes = measured(file, [&] { layout.removed = countRemoved(file, n); });
    layout.metadata_block_bytes =
        measured(file, [&] { layout.metadata_bytes = readMetadata(file, n); });
    layout.trailing_bytes = file.remaining();
    return layout;
}

const char* rawModeName(std::uint8_t raw_mode) {
    switch (raw_mode) {
        case kRawModeNone: return "none";
        case kRawModeF32: return "float32";
        case kRawModeI8: return "int8 with a scale per vector";
        default: return "unknown";
    }
}

}  // namespace korvane::tool

// The writer of the index file image.
#include <algorithm>

#include "encoding/projection.h"
#include "storage/byte_codec.h"
#include "storage/format.h"
#include "storage/format_layout.h"

namespace korvane {
namespace {

// What the header announces; decided once so that the size computation and
// the writing agree.
struct ImageShape {
    std::uint64_t n;
    std::uint8_t raw_mode;
    bool calibrated;
    std::uint64_t removed;
};

// An incomplete raw store is written as no store at all: a reader would
// otherwise take some nodes' vectors for others'.
std::uint8_t writtenRawMode(const Index& index) {
    return hasCompleteRawStore(index) ? index.raw_mode : 0;
}

bool writtenCalibration(const Index& index) {
    return index.calibrated && index.calibration_mean.len == kDim && index.calibration_std.len == kDim;
}

std::uint32_t validNeighbors(const Node& node) {
    return std::min<std::uint32_t>(node.neighbor_count, kDegree);
}

std::uint16_t writtenMetadataLength(const ByteView* metadata, std::size_t k) {
    if (!metadata) return 0;
    return static_cast<std::uint16_t>(std::min<std::size_t>(metadata[k].len, kMaxMetadataBytes));
}

// Calls visit(node) for every removed node below n, ascending. Bits at or
// beyond n are never written: the reader would refuse them.
template <class Visit>
void forEachRemoved(const BitSet& tombstones, std::uint64_t n, Visit&& visit) {
    const std::size_t words = std::min(tombstones.wordCount(), BitSet::wordsFor(n));
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t bits = tombstones.words[w];
        while (bits) {
            const std::uint64_t node = w * 64 + std::uint64_t(__builtin_ctzll(bits));
            if (node >= n) return;
            visit(node);
            bits &= bits - 1;
        }
    }
}

std::uint64_t countRemoved(const BitSet& tombstones, std::uint64_t n) {
    std::uint64_t count = 0;
    forEachRemoved(tombstones, n, [&](std::uint64_t) { ++count; });
    return count;
}

std::size_t imageBytes(const Index& index, const ImageShape& shape, const ByteView* metadata) {
    std::size_t bytes = kHeaderBytes + (shape.calibrated ? kCalibrationBytes : 0) + kMatrixBytes;
    bytes += shape.n * (kPayloadRecordBytes + rawBytesPerNode(shape.raw_mode));
    for (const Layer& layer : index.graph.layers) {
        bytes += 8;
        for (const Node& node : layer.nodes) bytes += kNodeRecordBaseBytes + 8 * validNeighbors(node);
    }
    bytes += 8 + 8 * shape.removed;
    for (std::size_t k = 0; k < shape.n; ++k) bytes += 2 + writtenMetadataLength(metadata, k);
    return bytes;
}

void writeHeader(ByteWriter& out, const Index& index, const ImageShape& shape) {
    out.bytes(kMagic, sizeof kMagic);
    out.u32(kDim);
    out.u32(kDegree);
    out.u32(kRoutingBits);
    out.u64(shape.n);
    out.u64(index.graph.ef_construction);
    out.u64(index.graph.entry_point);
    out.u32(static_cast<std::uint32_t>(index.graph.layers.len));
    out.u8(shape.raw_mode);
    out.u8(shape.calibrated ? 1 : 0);
}

void writePayload(ByteWriter& out, const TurboQuantPayload& payload) {
    out.u64(payload.id);
    for (std::uint32_t group : payload.codes) out.u24(group & 0xffffffu);
    out.f32(payload.sigma);
    out.f32(payload.mu);
    out.f32(payload.gamma);
}

void writeRawBlock(ByteWriter& out, const Index& index, std::uint8_t raw_mode) {
    if (raw_mode == 1) out.bytes(index.raw_f32.data, index.raw_f32.len * sizeof(float));
    if (raw_mode == 2) {
        out.bytes(index.raw_i8.data, index.raw_i8.len);
        out.bytes(index.raw_scales.data, index.raw_scales.len * sizeof(float));
    }
}

void writeGraph(ByteWriter& out, const RoutingGraph& graph) {
    for (const Layer& layer : graph.layers) {
        out.u64(layer.nodes.len);
        for (const Node& node : layer.nodes) {
            const std::uint32_t count = validNeighbors(node);
            out.u64(node.id);
            out.bytes(&node.code, sizeof node.code);
            out.u32(count);
            out.bytes(node.neighbors, count * sizeof(std::uint64_t));
        }
    }
}

void writeMetadata(ByteWriter& out, std::uint64_t n, const ByteView* metadata) {
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint16_t len = writtenMetadataLength(metadata, k);
        out.u16(len);
        if (len) out.bytes(metadata[k].data, len);
    }
}

}  // namespace

Error serialize(const Index& index, const ByteView* node_metadata, Vec<std::uint8_t>& out) {
    const std::uint64_t n = index.payloads.len;
    const ImageShape shape{n, writtenRawMode(index), writtenCalibration(index),
                           countRemoved(index.tombstones, n)};
    const std::size_t bytes = imageBytes(index, shape, node_metadata);

    Vec<std::uint8_t> image;
    if (!image.reserve(bytes)) return Error::OutOfMemory;
    ByteWriter writer{image.data};
    writeHeader(writer, index, shape);
    if (shape.calibrated) {
        writer.bytes(index.calibration_mean.data, kDim * sizeof(float));
        writer.bytes(index.calibration_std.data, kDim * sizeof(float));
    }
    writer.bytes(index.rotation, kRotationFloats * sizeof(float));
    writer.bytes(index.projection, kProjectionFloats * sizeof(float));
    for (const TurboQuantPayload& payload : index.payloads) writePayload(writer, payload);
    writeRawBlock(writer, index, shape.raw_mode);
    writeGraph(writer, index.graph);
    writer.u64(shape.removed);
    forEachRemoved(index.tombstones, n, [&](std::uint64_t node) { writer.u64(node); });
    writeMetadata(writer, n, node_metadata);
    image.len = bytes;
    out = image;
    return Error::Ok;
}

}  // namespace korvane

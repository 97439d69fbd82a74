// The writer of the index file image.
#include <algorithm>

#include "encoding/projection.h"
#include "storage/byte_codec.h"
#include "storage/byte_sink.h"
#include "storage/format.h"
#include "storage/image_stream.h"

namespace korvane {

static_assert(kRotationBytes == kRotationFloats * sizeof(float) &&
              kProjectionBytes == kProjectionFloats * sizeof(float));

namespace {

// What the header announces; decided once so that the size computation and
// the writing agree.
struct ImageShape {
    std::uint64_t n;
    RawMode raw_mode;
    bool calibrated;
    std::uint64_t removed;
};

// An incomplete raw store is written as no store at all: a reader would
// otherwise take some nodes' vectors for others'.
RawMode writtenRawMode(const Index& index) {
    return hasCompleteRawStore(index) ? index.raw_mode : RawMode::None;
}

// Calibration statistics exist only in files of the default shape.
bool writtenCalibration(const Index& index) {
    return index.shape.isDefault() && index.calibrated && index.calibration_mean.len == kFileDim &&
           index.calibration_std.len == kFileDim;
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

ImageShape shapeOf(const Index& index) {
    const std::uint64_t n = index.payloads.len;
    return ImageShape{n, writtenRawMode(index), writtenCalibration(index), countRemoved(index.tombstones, n)};
}

bool writesShapeBlock(const Index& index) { return !index.shape.isDefault(); }

bool writesCentre(const Index& index) { return index.shape.metric == Metric::Euclidean && index.centred; }

std::size_t fixedBlockBytes(const Index& index, const ImageShape& shape) {
    if (!writesShapeBlock(index)) return (shape.calibrated ? kCalibrationBytes : 0) + kMatrixBytes;
    return kShapeBlockBytes + (writesCentre(index) ? index.shape.dim * sizeof(float) : 0);
}

std::size_t imageBytes(const Index& index, const ImageShape& shape, const ByteView* metadata) {
    const std::size_t dim = index.shape.dim;
    std::size_t bytes = kHeaderBytes + fixedBlockBytes(index, shape);
    bytes += shape.n * (payloadRecordBytes(dim) + rawBytesPerNode(static_cast<std::uint8_t>(shape.raw_mode), dim));
    if (index.shape.metric == Metric::Euclidean) bytes += shape.n * sizeof(float);
    for (const Layer& layer : index.graph.layers) {
        bytes += kCountBytes;
        for (const Node& node : layer.nodes) bytes += kNodeRecordBaseBytes + kNodeNumberBytes * validNeighbors(node);
    }
    bytes += kCountBytes + kNodeNumberBytes * shape.removed;
    for (std::size_t k = 0; k < shape.n; ++k) bytes += kMetadataLengthBytes + writtenMetadataLength(metadata, k);
    return bytes;
}

template <class Sink>
void writeHeader(Sink& sink, const Index& index, const ImageShape& shape) {
    ByteWriter out{sink.claim(kHeaderBytes)};
    out.bytes(writesShapeBlock(index) ? kShapedMagic : kMagic, sizeof kMagic);
    out.u32(index.shape.dim);
    out.u32(kFileDegree);
    out.u32(kFileRoutingBits);
    out.u64(shape.n);
    out.u64(index.graph.ef_construction);
    out.u64(index.graph.entry_point);
    out.u32(static_cast<std::uint32_t>(index.graph.layers.len));
    out.u8(static_cast<std::uint8_t>(shape.raw_mode));
    out.u8(shape.calibrated ? 1 : 0);
}

template <class Sink>
void writeShapeBlock(Sink& sink, const Index& index) {
    ByteWriter out{sink.claim(kShapeBlockBytes)};
    out.u32(static_cast<std::uint32_t>(index.shape.metric));
    out.u64(index.seed);
    out.u8(writesCentre(index) ? 1 : 0);
    if (writesCentre(index)) sink.bytes(index.centre, index.shape.dim * sizeof(float));
}

template <class Sink>
void writePayload(Sink& sink, const TurboQuantPayload& payload, std::size_t dim) {
    ByteWriter out{sink.claim(payloadRecordBytes(dim))};
    out.u64(payload.id);
    for (std::size_t g = 0; g < fileCodeGroups(dim); ++g) out.u24(payload.codes[g] & 0xffffffu);
    out.f32(payload.sigma);
    out.f32(payload.mu);
    out.f32(payload.gamma);
}

// Copies hold `padded` values in memory and `dim` in the file.
template <class Sink>
void writeRawBlock(Sink& sink, const Index& index, RawMode raw_mode) {
    const std::size_t dim = index.shape.dim;
    const std::size_t padded = index.shape.padded;
    const std::size_t n = index.payloads.len;
    if (raw_mode == RawMode::F32) {
        if (dim == padded) sink.bytes(index.raw_f32.data, n * dim * sizeof(float));
        else for (std::size_t k = 0; k < n; ++k) sink.bytes(index.raw_f32.data + k * padded, dim * sizeof(float));
    }
    if (raw_mode == RawMode::I8) {
        if (dim == padded) sink.bytes(index.raw_i8.data, n * dim);
        else for (std::size_t k = 0; k < n; ++k) sink.bytes(index.raw_i8.data + k * padded, dim);
        sink.bytes(index.raw_scales.data, n * sizeof(float));
    }
    if (index.shape.metric == Metric::Euclidean) sink.bytes(index.squared_norms.data, n * sizeof(float));
}

// Node numbers are held in 32 bits in memory and written in 64.
template <class Sink>
void writeNode(Sink& sink, const Node& node, const RoutingCode& code) {
    const std::uint32_t count = validNeighbors(node);
    ByteWriter out{sink.claim(kNodeRecordBaseBytes + count * kNodeNumberBytes)};
    out.u64(node.node);
    out.bytes(&code, kCodeBytes);
    out.u32(count);
    for (std::uint32_t i = 0; i < count; ++i) out.u64(node.neighbors[i]);
}

template <class Sink>
void writeGraph(Sink& sink, const RoutingGraph& graph) {
    for (const Layer& layer : graph.layers) {
        ByteWriter{sink.claim(kCountBytes)}.u64(layer.nodes.len);
        for (std::size_t i = 0; i < layer.nodes.len; ++i) writeNode(sink, layer.nodes[i], layer.codes[i]);
    }
}

template <class Sink>
void writeMetadata(Sink& sink, std::uint64_t n, const ByteView* metadata) {
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint16_t len = writtenMetadataLength(metadata, k);
        ByteWriter{sink.claim(kMetadataLengthBytes)}.u16(len);
        if (len) sink.bytes(metadata[k].data, len);
    }
}

}  // namespace

template <class Sink>
void writeImage(const Index& index, const ByteView* node_metadata, Sink& sink) {
    const ImageShape shape = shapeOf(index);
    writeHeader(sink, index, shape);
    if (writesShapeBlock(index)) {
        writeShapeBlock(sink, index);
    } else {
        if (shape.calibrated) {
            sink.bytes(index.calibration_mean.data, kCalibrationBytes / 2);
            sink.bytes(index.calibration_std.data, kCalibrationBytes / 2);
        }
        sink.bytes(index.rotation, kRotationBytes);
        sink.bytes(index.projection, kProjectionBytes);
    }
    for (std::size_t k = 0; k < index.payloads.len; ++k) writePayload(sink, index.payloads[k], index.shape.dim);
    writeRawBlock(sink, index, shape.raw_mode);
    writeGraph(sink, index.graph);
    ByteWriter{sink.claim(kCountBytes)}.u64(shape.removed);
    forEachRemoved(index.tombstones, shape.n,
                   [&](std::uint64_t node) { ByteWriter{sink.claim(kNodeNumberBytes)}.u64(node); });
    writeMetadata(sink, shape.n, node_metadata);
}

template void writeImage<MemorySink>(const Index&, const ByteView*, MemorySink&);
template void writeImage<FileSink>(const Index&, const ByteView*, FileSink&);

std::size_t imageSize(const Index& index, const ByteView* node_metadata) {
    return imageBytes(index, shapeOf(index), node_metadata);
}

Error serialize(const Index& index, const ByteView* node_metadata, Vec<std::uint8_t>& out) {
    const std::size_t bytes = imageSize(index, node_metadata);
    Vec<std::uint8_t> image;
    if (!image.reserve(bytes)) return Error::OutOfMemory;
    MemorySink sink{image.data};
    writeImage(index, node_metadata, sink);
    image.len = bytes;
    out = image;
    return Error::Ok;
}

}  // namespace korvane

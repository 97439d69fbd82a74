// The reader of the index file image. Every count read from the input is
// checked against the bytes that remain before anything is reserved for it,
// so a damaged file can never make the reader allocate more than a small
// multiple of its own length.
#include <cstring>
#include <utility>

#include "graph/invariants.h"
#include "graph/layer.h"
#include "storage/byte_codec.h"
#include "storage/format.h"
#include "storage/format_layout.h"

namespace korvane {
namespace {

// Header fields up to and including the raw mode.
constexpr std::size_t kFixedHeaderBytes = kHeaderBytes - 1;
constexpr std::uint64_t kMaxRawNodes = std::uint64_t{1} << 56;
constexpr std::size_t kRotationBytes = kDim * kDim * sizeof(float);
constexpr std::size_t kProjectionBytes = kRoutingBits * kDim * sizeof(float);

struct Header {
    std::uint64_t n;
    std::uint64_t ef_construction;
    std::uint64_t entry_point;
    std::uint32_t layer_count;
    std::uint8_t raw_mode;
    bool calibrated;
};

Error checkShapeField(ByteReader& in, std::uint32_t expected, Error mismatch) {
    if (!in.has(4)) return Error::CorruptFile;
    return in.u32() == expected ? Error::Ok : mismatch;
}

Error readHeader(ByteReader& in, Header& header) {
    if (!in.has(sizeof kMagic)) return Error::CorruptFile;
    if (std::memcmp(in.take(sizeof kMagic), kMagic, sizeof kMagic) != 0) return Error::BadMagic;
    if (Error e = checkShapeField(in, kDim, Error::DimensionMismatch); e != Error::Ok) return e;
    if (Error e = checkShapeField(in, kDegree, Error::DegreeMismatch); e != Error::Ok) return e;
    if (Error e = checkShapeField(in, kRoutingBits, Error::RoutingBitsMismatch); e != Error::Ok) return e;
    if (in.len < kFixedHeaderBytes) return Error::CorruptFile;
    header.n = in.u64();
    header.ef_construction = in.u64();
    header.entry_point = in.u64();
    header.layer_count = in.u32();
    header.raw_mode = in.u8();
    if (header.raw_mode > 2) return Error::CorruptFile;
    if (header.n > (in.len - kFixedHeaderBytes) / 8) return Error::CorruptFile;
    if (header.n > 0 && header.entry_point >= header.n) return Error::CorruptFile;
    if (!in.has(1)) return Error::CorruptFile;
    header.calibrated = in.u8() != 0;
    return Error::Ok;
}

// Exactly `count` elements copied from the input into an empty array.
template <class T>
bool copyArray(Vec<T>& array, const std::uint8_t* src, std::size_t count) {
    if (count == 0) return true;
    if (!array.reserve(count)) return false;
    std::memcpy(static_cast<void*>(array.data), src, count * sizeof(T));
    array.len = count;
    return true;
}

Error readCalibration(ByteReader& in, Index& index) {
    if (!copyArray(index.calibration_mean, in.take(kDim * sizeof(float)), kDim) ||
        !copyArray(index.calibration_std, in.take(kDim * sizeof(float)), kDim))
        return Error::OutOfMemory;
    index.calibrated = true;
    return Error::Ok;
}

// The fixed arrays, set up as at creation (matrices as whole pages), take
// the matrices from the image. This runs last, so that a damaged file is
// refused before the 1.3 MB of matrices are mapped.
Error adoptFixedArrays(const std::uint8_t* matrices, Index& index) {
    Index fixed;
    if (initIndexStorage(fixed, index.graph.ef_construction) != Error::Ok) return Error::OutOfMemory;
    std::memcpy(fixed.rotation, matrices, kRotationBytes);
    std::memcpy(fixed.projection, matrices + kRotationBytes, kProjectionBytes);
    std::swap(index.rotation, fixed.rotation);
    std::swap(index.projection, fixed.projection);
    std::swap(index.projection_scratch, fixed.projection_scratch);
    std::swap(index.rotated_scratch, fixed.rotated_scratch);
    std::swap(index.spare_scratch, fixed.spare_scratch);
    deinit(fixed);
    return Error::Ok;
}

TurboQuantPayload readPayload(ByteReader& in) {
    TurboQuantPayload payload;
    payload.id = in.u64();
    for (std::uint32_t& group : payload.codes) group = in.u24();
    payload.sigma = in.f32();
    payload.mu = in.f32();
    payload.gamma = in.f32();
    return payload;
}

Error readPayloads(ByteReader& in, std::uint64_t n, Index& index) {
    if (!in.hasRecords(n, kPayloadRecordBytes)) return Error::CorruptFile;
    if (!index.payloads.reserve(n)) return Error::OutOfMemory;
    for (std::uint64_t k = 0; k < n; ++k) index.payloads.data[k] = readPayload(in);
    index.payloads.len = n;
    return Error::Ok;
}

Error readRawBlock(ByteReader& in, const Header& header, Index& index) {
    const std::uint64_t n = header.n;
    index.raw_mode = header.raw_mode;
    if (n >= kMaxRawNodes) return Error::CorruptFile;
    if (header.raw_mode == 1) {
        if (!in.hasRecords(n, kDim * sizeof(float))) return Error::CorruptFile;
        if (!copyArray(index.raw_f32, in.take(n * kDim * sizeof(float)), n * kDim)) return Error::OutOfMemory;
    } else if (header.raw_mode == 2) {
        if (!in.hasRecords(n, kDim)) return Error::CorruptFile;
        if (!copyArray(index.raw_i8, in.take(n * kDim), n * kDim)) return Error::OutOfMemory;
        if (!in.hasRecords(n, sizeof(float))) return Error::CorruptFile;
        if (!copyArray(index.raw_scales, in.take(n * sizeof(float)), n)) return Error::OutOfMemory;
    }
    return Error::Ok;
}

Error readNodeRecord(ByteReader& in, std::uint64_t n, Node& node) {
    if (!in.has(kNodeRecordBaseBytes)) return Error::CorruptFile;
    node.id = in.u64();
    std::memcpy(&node.code, in.take(kCodeBytes), kCodeBytes);
    node.neighbor_count = in.u32();
    if (node.id >= n || node.neighbor_count > kDegree) return Error::CorruptFile;
    if (!in.hasRecords(node.neighbor_count, sizeof(std::uint64_t))) return Error::CorruptFile;
    std::memset(node.neighbors, 0, sizeof node.neighbors);
    for (std::uint32_t i = 0; i < node.neighbor_count; ++i) {
        node.neighbors[i] = in.u64();
        if (node.neighbors[i] >= n) return Error::CorruptFile;
    }
    return Error::Ok;
}

bool reserveLayer(Layer& layer, std::size_t m) {
    if (m == 0) return true;
    if (!layer.nodes.reserve(m) || !layer.codes.reserve(m)) return false;
    return layer.dense || layer.positions.reserve(m);
}

Error readLayer(ByteReader& in, std::uint64_t n, Layer& layer) {
    if (!in.has(8)) return Error::CorruptFile;
    const std::uint64_t m = in.u64();
    // A layer holds distinct nodes below n, so a larger count is damage;
    // refusing it before reserving keeps the reservation small.
    if (!in.hasRecords(m, kNodeRecordBaseBytes) || m > n) return Error::CorruptFile;
    if (!reserveLayer(layer, m)) return Error::OutOfMemory;
    Node node;
    for (std::uint64_t i = 0; i < m; ++i) {
        if (Error e = readNodeRecord(in, n, node); e != Error::Ok) return e;
        if (!addNode(layer, node)) return Error::OutOfMemory;
    }
    return Error::Ok;
}

// Links that point outside a layer, a layer 0 out of order or an entry point
// missing from the top would make later traversals read outside the arrays:
// such a graph is refused here rather than trusted.
Error readGraph(ByteReader& in, const Header& header, RoutingGraph& graph) {
    for (std::uint32_t l = 0; l < header.layer_count; ++l) {
        if (!ensureLayerCount(graph, graph.layers.len + 1)) return Error::OutOfMemory;
        if (Error e = readLayer(in, header.n, graph.layers[l]); e != Error::Ok) return e;
    }
    graph.entry_point = header.entry_point;
    graph.node_count = header.n;
    return checkGraphInvariants(graph, header.n) ? Error::Ok : Error::CorruptFile;
}

Error readTombstones(ByteReader& in, std::uint64_t n, BitSet& tombstones) {
    if (!in.has(8)) return Error::CorruptFile;
    const std::uint64_t t = in.u64();
    if (t == 0) return Error::Ok;
    if (t > n) return Error::CorruptFile;
    if (!in.hasRecords(t, sizeof(std::uint64_t))) return Error::CorruptFile;
    if (!tombstones.grow(n)) return Error::OutOfMemory;
    for (std::uint64_t i = 0; i < t; ++i) {
        const std::uint64_t node = in.u64();
        if (node >= n) return Error::CorruptFile;
        tombstones.set(node);
    }
    return Error::Ok;
}

// Every id maps to its latest unremoved node. An earlier unremoved node with
// the same id is marked removed, so that the live count equals the map's
// size and no search can return one id twice.
Error rebuildIdMap(Index& index) {
    const std::uint64_t n = index.payloads.len;
    const std::uint64_t unremoved = n - index.tombstones.countSet();
    if (unremoved > 0 && !index.id_to_node.reserve(unremoved)) return Error::OutOfMemory;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (isRemoved(index, k)) continue;
        const std::uint64_t id = index.payloads[k].id;
        if (std::uint64_t* earlier = index.id_to_node.find(id)) {
            if (!index.tombstones.grow(n)) return Error::OutOfMemory;
            index.tombstones.set(*earlier);
            *earlier = k;
        } else {
            index.id_to_node.insertUnchecked(id, k);
        }
    }
    index.live_count = index.id_to_node.count;
    return Error::Ok;
}

// Two passes: the first checks every entry and sums the string lengths, so
// that both arrays are reserved once at their final size.
Error readMetadata(ByteReader& in, std::uint64_t n, LoadedIndex& out) {
    ByteReader probe = in;
    std::size_t total = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!probe.has(2)) return Error::CorruptFile;
        const std::uint16_t len = probe.u16();
        if (!probe.has(len)) return Error::CorruptFile;
        probe.take(len);
        total += len;
    }
    if (n > 0 && !out.node_metadata.reserve(n)) return Error::OutOfMemory;
    if (total > 0 && !out.metadata_bytes.reserve(total)) return Error::OutOfMemory;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint16_t len = in.u16();
        std::uint8_t* copy = out.metadata_bytes.data + out.metadata_bytes.len;
        if (len) std::memcpy(copy, in.take(len), len);
        out.metadata_bytes.len += len;
        out.node_metadata.data[k] = ByteView{copy, len};
    }
    out.node_metadata.len = n;
    return Error::Ok;
}

Error readImage(ByteReader& in, LoadedIndex& out) {
    Header header{};
    Index& index = out.index;
    if (Error e = readHeader(in, header); e != Error::Ok) return e;
    if (!in.has((header.calibrated ? kCalibrationBytes : 0) + kMatrixBytes)) return Error::CorruptFile;
    initGraph(index.graph, header.ef_construction);
    if (header.calibrated) {
        if (Error e = readCalibration(in, index); e != Error::Ok) return e;
    }
    const std::uint8_t* matrices = in.take(kMatrixBytes);
    if (Error e = readPayloads(in, header.n, index); e != Error::Ok) return e;
    if (Error e = readRawBlock(in, header, index); e != Error::Ok) return e;
    if (Error e = readGraph(in, header, index.graph); e != Error::Ok) return e;
    if (Error e = readTombstones(in, header.n, index.tombstones); e != Error::Ok) return e;
    if (Error e = rebuildIdMap(index); e != Error::Ok) return e;
    if (Error e = readMetadata(in, header.n, out); e != Error::Ok) return e;
    return adoptFixedArrays(matrices, index);
}

}  // namespace

Error deserialize(const std::uint8_t* bytes, std::size_t len, LoadedIndex& out) {
    out = LoadedIndex{};
    ByteReader in{bytes, len};
    const Error result = readImage(in, out);
    if (result != Error::Ok) deinit(out);
    return result;
}

void deinit(LoadedIndex& loaded) {
    deinit(loaded.index);
    loaded.node_metadata.deinit();
    loaded.metadata_bytes.deinit();
}

}  // namespace korvane

// The reader of the index file image. Every count read from the input is
// checked against the bytes that remain before anything is reserved for it,
// so a damaged file can never make the reader allocate more than a small
// multiple of its own length.
#include <cstring>
#include <utility>

#include "encoding/projection.h"
#include "graph/invariants.h"
#include "graph/layer.h"
#include "storage/byte_codec.h"
#include "storage/byte_source.h"
#include "storage/format.h"
#include "storage/image_stream.h"

namespace korvane {
namespace {

// Header fields up to and including the raw mode.
constexpr std::size_t kFixedHeaderBytes = kHeaderCalibratedAt;
constexpr std::uint64_t kMaxRawNodes = std::uint64_t{1} << 56;

// Offset of a header field within the fields that follow the shape.
constexpr std::size_t fieldAt(std::size_t header_offset) { return header_offset - kHeaderNodeCountAt; }

struct Header {
    bool shaped;  // any shape, with a shape block; else the default shape
    std::uint32_t dim;
    std::uint64_t n;
    std::uint64_t ef_construction;
    std::uint64_t entry_point;
    std::uint32_t layer_count;
    RawMode raw_mode;
    bool calibrated;
};

template <class Source>
Error checkShapeField(Source& in, std::uint32_t expected, Error mismatch) {
    if (!in.has(4)) return Error::CorruptFile;
    return loadU32(in.take(4)) == expected ? Error::Ok : mismatch;
}

template <class Source>
Error readDimension(Source& in, Header& header) {
    if (!in.has(4)) return Error::CorruptFile;
    header.dim = loadU32(in.take(4));
    const bool fits = header.shaped ? header.dim >= 1 && header.dim <= kMaxFileDim : header.dim == kFileDim;
    return fits ? Error::Ok : Error::DimensionMismatch;
}

template <class Source>
Error readHeader(Source& in, Header& header) {
    if (!in.has(sizeof kMagic)) return Error::CorruptFile;
    const std::uint8_t* magic = in.take(sizeof kMagic);
    header.shaped = std::memcmp(magic, kShapedMagic, sizeof kShapedMagic) == 0;
    if (!header.shaped && std::memcmp(magic, kMagic, sizeof kMagic) != 0) return Error::BadMagic;
    if (Error e = readDimension(in, header); e != Error::Ok) return e;
    if (Error e = checkShapeField(in, kFileDegree, Error::DegreeMismatch); e != Error::Ok) return e;
    if (Error e = checkShapeField(in, kFileRoutingBits, Error::RoutingBitsMismatch); e != Error::Ok) return e;
    if (!in.has(kFixedHeaderBytes - kHeaderNodeCountAt)) return Error::CorruptFile;
    const std::uint8_t* fields = in.take(kFixedHeaderBytes - kHeaderNodeCountAt);
    header.n = loadU64(fields + fieldAt(kHeaderNodeCountAt));
    header.ef_construction = loadU64(fields + fieldAt(kHeaderEfConstructionAt));
    header.entry_point = loadU64(fields + fieldAt(kHeaderEntryPointAt));
    header.layer_count = loadU32(fields + fieldAt(kHeaderLayerCountAt));
    const std::uint8_t raw_mode = fields[fieldAt(kHeaderRawModeAt)];
    if (raw_mode > kRawModeI8) return Error::CorruptFile;
    header.raw_mode = static_cast<RawMode>(raw_mode);
    // Levels run from 0 to kTopLevel, so no saved graph has more layers;
    // each layer costs memory on load and a node on every later addition.
    if (header.layer_count > kMaxLayers) return Error::CorruptFile;
    // n is at most (length - 45) / 8. Asked as a count of 8-byte records
    // after the header, so that a stream is read only that far to know.
    if (!in.hasRecords(header.n, 8)) return Error::CorruptFile;
    if (header.n > 0 && header.entry_point >= header.n) return Error::CorruptFile;
    if (!in.has(1)) return Error::CorruptFile;
    header.calibrated = in.take(1)[0] != 0;
    // Calibration statistics belong to the default shape only.
    if (header.shaped && header.calibrated) return Error::CorruptFile;
    return Error::Ok;
}

// Exactly `count` elements read into an empty array.
template <class T, class Source>
bool readArray(Source& in, Vec<T>& array, std::size_t count) {
    if (count == 0) return true;
    if (!array.reserve(count)) return false;
    in.copyOut(array.data, count * sizeof(T));
    array.len = count;
    return true;
}

// The shape block of a shaped file: the metric, the seed and the centre.
template <class Source>
Error readShapeBlock(Source& in, const Header& header, Index& index, Vec<float>& centre) {
    if (!in.has(kShapeBlockBytes)) return Error::CorruptFile;
    const std::uint8_t* block = in.take(kShapeBlockBytes);
    const std::uint32_t metric = loadU32(block);
    const std::uint8_t centred = block[12];
    if (metric >= kFileMetricCount || centred > 1) return Error::CorruptFile;
    if (centred && metric != kFileMetricEuclidean) return Error::CorruptFile;
    index.shape = makeShape(header.dim, static_cast<Metric>(metric));
    index.seed = loadU64(block + 4);
    index.centred = centred != 0;
    if (!centred) return Error::Ok;
    if (!in.hasRecords(header.dim, sizeof(float))) return Error::CorruptFile;
    return readArray(in, centre, header.dim) ? Error::Ok : Error::OutOfMemory;
}

template <class Source>
Error readCalibration(Source& in, Index& index) {
    if (!readArray(in, index.calibration_mean, kFileDim) || !readArray(in, index.calibration_std, kFileDim))
        return Error::OutOfMemory;
    index.calibrated = true;
    return Error::Ok;
}

// The fixed arrays, set up as at creation (matrices as whole pages), take
// the matrices from the image, or for a shaped file draw them again from the
// seed. This runs last, so that a damaged file is refused before the
// matrices are mapped.
template <class Source>
Error adoptFixedArrays(Source& in, const Header& header, std::size_t matrices_at, const Vec<float>& centre,
                       Index& index) {
    Index fixed;
    if (initIndexStorage(fixed, index.graph.ef_construction, index.shape) != Error::Ok) return Error::OutOfMemory;
    if (header.shaped) {
        generateMatrices(fixed, index.seed);
        if (fixed.centre) {
            for (std::size_t j = 0; j < index.shape.padded; ++j) fixed.centre[j] = j < centre.len ? centre[j] : 0.0f;
        }
    } else {
        in.copyFrom(matrices_at, fixed.rotation, kRotationBytes);
        in.copyFrom(matrices_at + kRotationBytes, fixed.projection, kProjectionBytes);
        deriveReducedProjection(fixed.projection, fixed.reduced_projection);
    }
    std::swap(index.rotation, fixed.rotation);
    std::swap(index.rotation_order, fixed.rotation_order);
    std::swap(index.centre, fixed.centre);
    std::swap(index.projection, fixed.projection);
    std::swap(index.projection_scratch, fixed.projection_scratch);
    std::swap(index.reduced_projection, fixed.reduced_projection);
    std::swap(index.rotated_scratch, fixed.rotated_scratch);
    std::swap(index.spare_scratch, fixed.spare_scratch);
    deinit(fixed);
    return Error::Ok;
}

// Groups the file does not hold (past the dimension) are zero; bits of a
// last group past the dimension are cleared, as the encoder leaves them.
void decodePayload(const std::uint8_t* record, const Shape& shape, TurboQuantPayload& payload) {
    const std::size_t groups = fileCodeGroups(shape.dim);
    const std::size_t tail = groups * kCodeGroupBytes;
    payload.id = loadU64(record);
    for (std::size_t g = 0; g < shape.codeGroups(); ++g)
        payload.codes[g] = g < groups ? loadU24(record + kPayloadCodesAt + kCodeGroupBytes * g) : 0;
    if (shape.dim % 8 != 0) payload.codes[groups - 1] &= (std::uint32_t{1} << (3 * (shape.dim % 8))) - 1;
    payload.sigma = loadF32(record + kPayloadCodesAt + tail);
    payload.mu = loadF32(record + kPayloadCodesAt + tail + 4);
    payload.gamma = loadF32(record + kPayloadCodesAt + tail + 8);
    payload.reserved = 0;
}

template <class Source>
Error readPayloads(Source& in, std::uint64_t n, Index& index) {
    const std::size_t record_bytes = payloadRecordBytes(index.shape.dim);
    if (!in.hasRecords(n, record_bytes)) return Error::CorruptFile;
    if (!index.payloads.reserve(n)) return Error::OutOfMemory;
    TurboQuantPayload payload;
    for (std::uint64_t k = 0; k < n; ++k) {
        decodePayload(in.take(record_bytes), index.shape, payload);
        index.payloads.pushReserved(payload);
    }
    return Error::Ok;
}

// `count` records of `dim` values each into rows of `padded`, zero beyond.
template <class T, class Source>
bool readPaddedRows(Source& in, Vec<T>& array, std::uint64_t count, std::size_t dim, std::size_t padded) {
    if (dim == padded) return readArray(in, array, count * dim);
    if (count == 0) return true;
    if (!array.reserve(count * padded)) return false;
    for (std::uint64_t k = 0; k < count; ++k) {
        T* row = array.data + k * padded;
        in.copyOut(row, dim * sizeof(T));
        std::memset(static_cast<void*>(row + dim), 0, (padded - dim) * sizeof(T));
    }
    array.len = count * padded;
    return true;
}

template <class Source>
Error readRawBlock(Source& in, const Header& header, Index& index) {
    const std::uint64_t n = header.n;
    index.raw_mode = header.raw_mode;
    if (n >= kMaxRawNodes) return Error::CorruptFile;
    const std::size_t dim = index.shape.dim;
    const std::size_t padded = index.shape.padded;
    if (header.raw_mode == RawMode::F32) {
        if (!in.hasRecords(n, rawBytesPerNode(kRawModeF32, dim))) return Error::CorruptFile;
        if (!readPaddedRows(in, index.raw_f32, n, dim, padded)) return Error::OutOfMemory;
    } else if (header.raw_mode == RawMode::I8) {
        if (!in.hasRecords(n, dim)) return Error::CorruptFile;
        if (!readPaddedRows(in, index.raw_i8, n, dim, padded)) return Error::OutOfMemory;
        if (!in.hasRecords(n, sizeof(float))) return Error::CorruptFile;
        if (!readArray(in, index.raw_scales, n)) return Error::OutOfMemory;
    }
    if (index.shape.metric == Metric::Euclidean) {
        if (!in.hasRecords(n, sizeof(float))) return Error::CorruptFile;
        if (!readArray(in, index.squared_norms, n)) return Error::OutOfMemory;
    }
    return Error::Ok;
}

// Node numbers are below n, which is at most kMaxNodes, so they fit the
// 32 bits a record holds them in.
template <class Source>
Error readNodeRecord(Source& in, std::uint64_t n, Node& node, RoutingCode& code) {
    if (!in.has(kNodeRecordBaseBytes)) return Error::CorruptFile;
    const std::uint8_t* record = in.take(kNodeRecordBaseBytes);
    const std::uint64_t number = loadU64(record);
    std::memcpy(&code, record + kNodeCodeAt, kCodeBytes);
    node.neighbor_count = loadU32(record + kNodeNeighborCountAt);
    if (number >= n || node.neighbor_count > kFileDegree) return Error::CorruptFile;
    node.node = static_cast<std::uint32_t>(number);
    if (!in.hasRecords(node.neighbor_count, kNodeNumberBytes)) return Error::CorruptFile;
    std::memset(node.neighbors, 0, sizeof node.neighbors);
    const std::uint8_t* list = in.take(node.neighbor_count * kNodeNumberBytes);
    for (std::uint32_t i = 0; i < node.neighbor_count; ++i) {
        const std::uint64_t neighbor = loadU64(list + kNodeNumberBytes * i);
        if (neighbor >= n) return Error::CorruptFile;
        node.neighbors[i] = static_cast<std::uint32_t>(neighbor);
    }
    return Error::Ok;
}

bool reserveLayer(Layer& layer, std::size_t m) {
    if (m == 0) return true;
    if (!layer.nodes.reserve(m) || !layer.codes.reserve(m)) return false;
    return layer.dense || layer.positions.reserve(m);
}

template <class Source>
Error readLayer(Source& in, std::uint64_t n, Layer& layer) {
    if (!in.has(kCountBytes)) return Error::CorruptFile;
    const std::uint64_t m = loadU64(in.take(kCountBytes));
    // A layer holds distinct nodes below n, so a larger count is damage;
    // refusing it before reserving keeps the reservation small.
    if (!in.hasRecords(m, kNodeRecordBaseBytes) || m > n) return Error::CorruptFile;
    if (!reserveLayer(layer, m)) return Error::OutOfMemory;
    Node node;
    RoutingCode code;
    for (std::uint64_t i = 0; i < m; ++i) {
        if (Error e = readNodeRecord(in, n, node, code); e != Error::Ok) return e;
        if (!addNode(layer, node, code)) return Error::OutOfMemory;
    }
    return Error::Ok;
}

// Links that point outside a layer, a layer 0 out of order or an entry point
// missing from the top would make later traversals read outside the arrays:
// such a graph is refused here rather than trusted.
template <class Source>
Error readGraph(Source& in, const Header& header, RoutingGraph& graph) {
    // More nodes than a graph can number: no writer makes such a file.
    if (header.n > kMaxNodes) return Error::CorruptFile;
    for (std::uint32_t l = 0; l < header.layer_count; ++l) {
        if (!ensureLayerCount(graph, graph.layers.len + 1)) return Error::OutOfMemory;
        if (Error e = readLayer(in, header.n, graph.layers[l]); e != Error::Ok) return e;
    }
    graph.entry_point = header.entry_point;
    graph.node_count = header.n;
    if (in.failed()) return Error::CorruptFile;
    return checkGraphInvariants(graph, header.n) ? Error::Ok : Error::CorruptFile;
}

template <class Source>
Error readTombstones(Source& in, std::uint64_t n, BitSet& tombstones) {
    if (!in.has(kCountBytes)) return Error::CorruptFile;
    const std::uint64_t t = loadU64(in.take(kCountBytes));
    if (t == 0) return Error::Ok;
    if (t > n) return Error::CorruptFile;
    if (!in.hasRecords(t, kNodeNumberBytes)) return Error::CorruptFile;
    if (!tombstones.grow(n)) return Error::OutOfMemory;
    for (std::uint64_t i = 0; i < t; ++i) {
        const std::uint64_t node = loadU64(in.take(kNodeNumberBytes));
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

// The strings are collected back to back; the views are set once the
// buffer has stopped moving.
template <class Source>
Error readMetadata(Source& in, std::uint64_t n, LoadedIndex& out) {
    if (n > 0 && !out.node_metadata.reserve(n)) return Error::OutOfMemory;
    Vec<std::uint8_t>& bytes = out.metadata_bytes;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!in.has(kMetadataLengthBytes)) return Error::CorruptFile;
        const std::uint16_t len = loadU16(in.take(kMetadataLengthBytes));
        if (!in.has(len)) return Error::CorruptFile;
        if (!bytes.reserveMore(len)) return Error::OutOfMemory;
        in.copyOut(bytes.data + bytes.len, len);
        bytes.len += len;
        out.node_metadata.data[k] = ByteView{nullptr, len};
    }
    out.node_metadata.len = n;
    std::size_t offset = 0;
    for (ByteView& view : out.node_metadata) {
        view.data = bytes.data + offset;
        offset += view.len;
    }
    return Error::Ok;
}

template <class Source>
Error readRest(Source& in, const Header& header, std::size_t matrices_at, const Vec<float>& centre,
               LoadedIndex& out);

template <class Source>
Error readBody(Source& in, LoadedIndex& out) {
    Header header{};
    Index& index = out.index;
    if (Error e = readHeader(in, header); e != Error::Ok) return e;
    initGraph(index.graph, header.ef_construction);
    Vec<float> centre;
    std::size_t matrices_at = 0;
    if (header.shaped) {
        const Error e = readShapeBlock(in, header, index, centre);
        if (e != Error::Ok) {
            centre.deinit();
            return e;
        }
    } else {
        if (!in.has((header.calibrated ? kCalibrationBytes : 0) + kMatrixBytes)) return Error::CorruptFile;
        if (header.calibrated) {
            if (Error e = readCalibration(in, index); e != Error::Ok) return e;
        }
        matrices_at = in.skip(kMatrixBytes);
    }
    index.payloads.stride = payloadBytes(index.shape);
    const Error e = readRest(in, header, matrices_at, centre, out);
    centre.deinit();
    return e;
}

template <class Source>
Error readRest(Source& in, const Header& header, std::size_t matrices_at, const Vec<float>& centre,
               LoadedIndex& out) {
    Index& index = out.index;
    if (Error e = readPayloads(in, header.n, index); e != Error::Ok) return e;
    if (Error e = readRawBlock(in, header, index); e != Error::Ok) return e;
    if (Error e = readGraph(in, header, index.graph); e != Error::Ok) return e;
    if (Error e = readTombstones(in, header.n, index.tombstones); e != Error::Ok) return e;
    if (Error e = rebuildIdMap(index); e != Error::Ok) return e;
    if (Error e = readMetadata(in, header.n, out); e != Error::Ok) return e;
    if (Error e = adoptFixedArrays(in, header, matrices_at, centre, index); e != Error::Ok) return e;
    return in.failed() ? Error::CorruptFile : Error::Ok;
}

}  // namespace

template <class Source>
Error readImage(Source& source, LoadedIndex& out) {
    out = LoadedIndex{};
    const Error result = readBody(source, out);
    if (result != Error::Ok) deinit(out);
    return result;
}

template Error readImage<MemorySource>(MemorySource&, LoadedIndex&);
template Error readImage<FileSource>(FileSource&, LoadedIndex&);
template Error readImage<StreamSource>(StreamSource&, LoadedIndex&);

Error deserialize(const std::uint8_t* bytes, std::size_t len, LoadedIndex& out) {
    MemorySource source{bytes, len};
    return readImage(source, out);
}

void deinit(LoadedIndex& loaded) {
    deinit(loaded.index);
    loaded.node_metadata.deinit();
    loaded.metadata_bytes.deinit();
}

}  // namespace korvane

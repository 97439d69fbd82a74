#include "index/insert.h"

#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "encoding/raw_copy.h"
#include "graph/insert.h"
#include "index/metric.h"

namespace korvane {
namespace {

template <class T>
bool growFor(Vec<T>& array, std::size_t appends, std::size_t group = 1) {
    return array.reserve(array.capacityAfter(appends, group));
}

template <class T>
std::size_t appendsThatFit(const Vec<T>& array, std::size_t group = 1) {
    return (array.cap - array.len) / group;
}

}  // namespace

RawCopy makeRawCopy(const Index& index, const float* rotated, std::int8_t* bytes) {
    RawCopy raw{rotated, bytes, 0.0f, 0.0f};
    if (index.raw_mode == RawMode::I8) raw.scale = quantizeRawI8(rotated, bytes, index.shape.padded);
    if (index.shape.metric == Metric::Euclidean) raw.squared_length = squaredLength(index, rotated);
    return raw;
}

void rollBackTo(Index& index, std::uint64_t n) {
    const std::size_t padded = index.shape.padded;
    index.payloads.truncate(n);
    if (index.raw_mode == RawMode::F32) index.raw_f32.truncate(n * padded);
    if (index.raw_mode == RawMode::I8) {
        index.raw_i8.truncate(n * padded);
        index.raw_scales.truncate(n);
    }
    index.squared_norms.truncate(n);
}

namespace {

bool keepsSquaredNorms(const Index& index) { return index.shape.metric == Metric::Euclidean; }

}  // namespace

bool reserveNodeData(Index& index, std::size_t extra) {
    const std::size_t padded = index.shape.padded;
    if (!index.payloads.reserve(index.payloads.capacityAfter(extra))) return false;
    const bool raw = index.raw_mode == RawMode::F32   ? growFor(index.raw_f32, extra, padded)
                     : index.raw_mode == RawMode::I8 ? growFor(index.raw_scales, extra) && growFor(index.raw_i8, extra, padded)
                                           : true;
    if (raw && keepsSquaredNorms(index) && !growFor(index.squared_norms, extra)) return false;
    return raw && index.id_to_node.reserve(index.id_to_node.count + extra);
}

std::size_t nodeDataRoom(const Index& index) {
    const std::size_t padded = index.shape.padded;
    std::size_t room = index.payloads.cap - index.payloads.len;
    if (index.raw_mode == RawMode::F32 && appendsThatFit(index.raw_f32, padded) < room) room = appendsThatFit(index.raw_f32, padded);
    if (index.raw_mode == RawMode::I8) {
        if (appendsThatFit(index.raw_scales) < room) room = appendsThatFit(index.raw_scales);
        if (appendsThatFit(index.raw_i8, padded) < room) room = appendsThatFit(index.raw_i8, padded);
    }
    if (keepsSquaredNorms(index) && appendsThatFit(index.squared_norms) < room) room = appendsThatFit(index.squared_norms);
    return index.id_to_node.spare() < room ? index.id_to_node.spare() : room;
}

bool appendNodeData(Index& index, const TurboQuantPayload& payload, const RawCopy& raw) {
    if (!reserveNodeData(index, 1)) return false;
    // Room reserved: none of these can fail.
    const std::size_t padded = index.shape.padded;
    index.payloads.pushReserved(payload);
    if (index.raw_mode == RawMode::F32) index.raw_f32.append(raw.rotated, padded);
    if (index.raw_mode == RawMode::I8) {
        index.raw_scales.push(raw.scale);
        index.raw_i8.append(raw.bytes, padded);
    }
    if (keepsSquaredNorms(index)) index.squared_norms.push(raw.squared_length);
    return true;
}

void registerNode(Index& index, std::uint64_t id, std::uint64_t n) {
    index.id_to_node.insertUnchecked(id, n);
    ++index.live_count;
}

Error insertRotated(Index& index, std::uint64_t id, const float* rotated) {
    const std::uint64_t n = index.payloads.len;
    TurboQuantPayload payload;
    encodePayload(index.shape, id, rotated, calibrationMean(index), calibrationStd(index), payload);
    std::int8_t bytes[kMaxPadded];
    if (!appendNodeData(index, payload, makeRawCopy(index, rotated, bytes))) return Error::OutOfMemory;
    const RoutingCode code =
        verifiedRoutingCode(index.projection, index.reduced_projection, rotated, index.projection_scratch);
    const std::uint64_t level = drawLevel(index.graph);
    if (insertWithLevel(index.graph, n, code, level) != Error::Ok) {
        rollBackTo(index, n);
        return Error::OutOfMemory;
    }
    registerNode(index, id, n);
    return Error::Ok;
}

Error addVector(Index& index, std::uint64_t id, const float* vector) {
    if (index.id_to_node.contains(id)) return Error::DuplicateId;
    const bool first = index.payloads.len == 0 && !index.centred;
    setCentreOnce(index, vector, 1);
    Error status = prepareVector(index, vector, index.rotated_scratch) ? Error::Ok : Error::InvalidArgument;
    if (status == Error::Ok) status = insertRotated(index, id, index.rotated_scratch);
    if (status != Error::Ok && first) index.centred = false;  // a failed first addition leaves no centre
    return status;
}

Error removeId(Index& index, std::uint64_t id) {
    const std::uint64_t* node = index.id_to_node.find(id);
    if (!node) return Error::NotFound;
    const std::uint64_t n = *node;
    // Grow the removal set before touching the map: a failed removal changes nothing.
    if (n >= index.tombstones.bit_len && !index.tombstones.grow(index.payloads.len)) return Error::OutOfMemory;
    index.id_to_node.erase(id);
    index.tombstones.set(n);
    --index.live_count;
    return Error::Ok;
}

}  // namespace korvane

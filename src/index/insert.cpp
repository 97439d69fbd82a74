#include "index/insert.h"

#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "encoding/raw_copy.h"
#include "graph/insert.h"

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
    RawCopy raw{rotated, bytes, 0.0f};
    if (index.raw_mode == RawMode::I8) raw.scale = quantizeRawI8(rotated, bytes);
    return raw;
}

void rollBackTo(Index& index, std::uint64_t n) {
    index.payloads.truncate(n);
    if (index.raw_mode == RawMode::F32) index.raw_f32.truncate(n * kDim);
    if (index.raw_mode == RawMode::I8) {
        index.raw_i8.truncate(n * kDim);
        index.raw_scales.truncate(n);
    }
}

bool reserveNodeData(Index& index, std::size_t extra) {
    if (!growFor(index.payloads, extra)) return false;
    const bool raw = index.raw_mode == RawMode::F32   ? growFor(index.raw_f32, extra, kDim)
                     : index.raw_mode == RawMode::I8 ? growFor(index.raw_scales, extra) && growFor(index.raw_i8, extra, kDim)
                                           : true;
    return raw && index.id_to_node.reserve(index.id_to_node.count + extra);
}

std::size_t nodeDataRoom(const Index& index) {
    std::size_t room = appendsThatFit(index.payloads);
    if (index.raw_mode == RawMode::F32 && appendsThatFit(index.raw_f32, kDim) < room) room = appendsThatFit(index.raw_f32, kDim);
    if (index.raw_mode == RawMode::I8) {
        if (appendsThatFit(index.raw_scales) < room) room = appendsThatFit(index.raw_scales);
        if (appendsThatFit(index.raw_i8, kDim) < room) room = appendsThatFit(index.raw_i8, kDim);
    }
    return index.id_to_node.spare() < room ? index.id_to_node.spare() : room;
}

bool appendNodeData(Index& index, const TurboQuantPayload& payload, const RawCopy& raw) {
    if (!reserveNodeData(index, 1)) return false;
    // Room reserved: none of these can fail.
    index.payloads.push(payload);
    if (index.raw_mode == RawMode::F32) index.raw_f32.append(raw.rotated, kDim);
    if (index.raw_mode == RawMode::I8) {
        index.raw_scales.push(raw.scale);
        index.raw_i8.append(raw.bytes, kDim);
    }
    return true;
}

void registerNode(Index& index, std::uint64_t id, std::uint64_t n) {
    index.id_to_node.insertUnchecked(id, n);
    ++index.live_count;
}

Error insertRotated(Index& index, std::uint64_t id, const float* rotated) {
    const std::uint64_t n = index.payloads.len;
    const TurboQuantPayload payload = encodeWithCalibration(id, rotated, calibrationMean(index), calibrationStd(index));
    std::int8_t bytes[kDim];
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
    rotateVector(index.rotation, vector, index.rotated_scratch);
    return insertRotated(index, id, index.rotated_scratch);
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

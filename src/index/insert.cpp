#include "index/insert.h"

#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "encoding/raw_copy.h"
#include "graph/insert.h"

namespace korvane {
bool appendRawCopy(Index& index, const float* rotated) {
    if (index.raw_mode == RawMode::F32) return index.raw_f32.append(rotated, kDim);
    if (index.raw_mode != RawMode::I8) return true;
    if (!index.raw_scales.reserveMore(1) || !index.raw_i8.reserveMore(kDim)) return false;
    std::int8_t* bytes = index.raw_i8.data + index.raw_i8.len;
    index.raw_scales.push(quantizeRawI8(rotated, bytes));
    index.raw_i8.len += kDim;
    return true;
}

void rollBackTo(Index& index, std::uint64_t n) {
    index.payloads.truncate(n);
    if (index.raw_mode == RawMode::F32) index.raw_f32.truncate(n * kDim);
    if (index.raw_mode == RawMode::I8) {
        index.raw_i8.truncate(n * kDim);
        index.raw_scales.truncate(n);
    }
}

bool appendNodeData(Index& index, const TurboQuantPayload& payload, const float* rotated) {
    const std::uint64_t n = index.payloads.len;
    if (index.payloads.push(payload) && appendRawCopy(index, rotated) &&
        index.id_to_node.reserve(index.id_to_node.count + 1))
        return true;
    rollBackTo(index, n);
    return false;
}

void registerNode(Index& index, std::uint64_t id, std::uint64_t n) {
    index.id_to_node.insertUnchecked(id, n);
    ++index.live_count;
}

Error insertRotated(Index& index, std::uint64_t id, const float* rotated) {
    const std::uint64_t n = index.payloads.len;
    const TurboQuantPayload payload = encodeWithCalibration(id, rotated, calibrationMean(index), calibrationStd(index));
    if (!appendNodeData(index, payload, rotated)) return Error::OutOfMemory;
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

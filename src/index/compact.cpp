#include "index/compact.h"

#include <cstring>

#include "encoding/projection.h"
#include "graph/insert.h"
#include "index/insert.h"

namespace korvane {
namespace {

// The fixed parts of `from` in fresh storage: the matrices are copied, not
// drawn again, since a file may carry matrices that no seed makes.
Error copyFixedParts(const Index& from, Index& to) {
    if (initIndexStorage(to, from.graph.ef_construction, from.shape) != Error::Ok) return Error::OutOfMemory;
    std::memcpy(to.rotation, from.rotation, rotationFloats(from.shape.dim) * sizeof(float));
    if (from.rotation_order) std::memcpy(to.rotation_order, from.rotation_order, from.shape.dim * sizeof(std::uint32_t));
    std::memcpy(to.projection, from.projection, projectionFloats(from.shape) * sizeof(float));
    deriveReducedProjection(to.projection, to.reduced_projection);
    to.seed = from.seed;
    to.raw_mode = hasCompleteRawStore(from) ? from.raw_mode : RawMode::None;
    if (from.centre) std::memcpy(to.centre, from.centre, from.shape.padded * sizeof(float));
    to.centred = from.centred;
    if (from.calibrated) {
        if (!to.calibration_mean.append(from.calibration_mean.data, from.calibration_mean.len) ||
            !to.calibration_std.append(from.calibration_std.data, from.calibration_std.len))
            return Error::OutOfMemory;
        to.calibrated = true;
    }
    return Error::Ok;
}

// Node n's raw copy as appendNodeData takes it.
RawCopy rawCopyOf(const Index& index, std::uint64_t n) {
    const std::size_t padded = index.shape.padded;
    RawCopy raw{nullptr, nullptr, 0.0f, 0.0f};
    if (index.raw_mode == RawMode::F32) raw.rotated = index.raw_f32.data + n * padded;
    if (index.raw_mode == RawMode::I8) {
        raw.bytes = index.raw_i8.data + n * padded;
        raw.scale = index.raw_scales[n];
    }
    if (index.shape.metric == Metric::Euclidean) raw.squared_length = index.squared_norms[n];
    return raw;
}

Error insertLiveNodes(const Index& from, Index& to) {
    if (from.live_count == 0) return Error::Ok;
    if (!reserveNodeData(to, from.live_count)) return Error::OutOfMemory;
    const Layer& base = from.graph.layers[0];  // every node's code
    for (std::uint64_t n = 0; n < from.payloads.len; ++n) {
        if (isRemoved(from, n)) continue;
        const std::uint64_t m = to.payloads.len;
        if (!appendNodeData(to, from.payloads[n], rawCopyOf(from, n))) return Error::OutOfMemory;
        const std::uint64_t level = drawLevel(to.graph);
        if (insertWithLevel(to.graph, m, base.codes[n], level) != Error::Ok) return Error::OutOfMemory;
        registerNode(to, from.payloads[n].id, m);
    }
    return Error::Ok;
}

}  // namespace

Error compactIndex(Index& index) {
    Index fresh;
    Error status = copyFixedParts(index, fresh);
    if (status == Error::Ok) status = insertLiveNodes(index, fresh);
    if (status != Error::Ok) {
        deinit(fresh);
        return status;
    }
    deinit(index);
    index = fresh;
    return Error::Ok;
}

}  // namespace korvane

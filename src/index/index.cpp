#include "index/index.h"

#include <new>

#include "common/memory.h"
#include "encoding/projection.h"

namespace korvane {
namespace {

constexpr std::size_t kRotationBytes = kRotationFloats * sizeof(float);
constexpr std::size_t kProjectionBytes = kProjectionFloats * sizeof(float);

// Weights of the memory estimate, in bytes per element. They are part of
// what the estimate promises, not the in-memory sizes of these records.
constexpr std::uint64_t kIndexRecordEstimate = 1311176;  // the record and both matrices
constexpr std::uint64_t kPayloadWeight = 152;
constexpr std::uint64_t kLayerWeight = 72;
constexpr std::uint64_t kNodeWeight = 400;
constexpr std::uint64_t kCodeWeight = 128;
constexpr std::uint64_t kPositionSlotWeight = 13;
constexpr std::uint64_t kCandidateWeight = 16;
constexpr std::uint64_t kInt8Weight = 1;
constexpr std::uint64_t kFloatWeight = 4;
constexpr std::uint64_t kIdSlotWeight = 17;
constexpr std::uint64_t kBitSetWordWeight = 8;

std::uint64_t layerTerms(const Layer& layer) {
    return kNodeWeight * layer.nodes.cap + kCodeWeight * layer.codes.cap +
           kPositionSlotWeight * layer.positions.slot_count;
}

std::uint64_t bitSetTerm(const BitSet& bits) { return kBitSetWordWeight * bits.wordCount(); }

}  // namespace

Error initIndexStorage(Index& index, std::uint64_t ef_construction) {
    index = Index{};
    // Creation order: rotation, rotated/spare scratch, projection, projection
    // scratch, reduced projection.
    index.rotation = static_cast<float*>(allocatePages(kRotationBytes));
    if (index.rotation) index.rotated_scratch = allocateArray<float>(kDim);
    if (index.rotated_scratch) index.spare_scratch = allocateArray<float>(kDim);
    if (index.spare_scratch) index.projection = static_cast<float*>(allocatePages(kProjectionBytes));
    if (index.projection) index.projection_scratch = allocateArray<float>(kRoutingBits);
    if (!index.projection_scratch || !allocateReducedProjection(index.reduced_projection)) {
        deinit(index);
        return Error::OutOfMemory;
    }
    initGraph(index.graph, ef_construction);
    return Error::Ok;
}

Index* createIndex(std::uint64_t ef_construction, std::uint64_t seed, RawMode raw_mode) {
    void* record = allocateBytes(sizeof(Index));
    if (!record) return nullptr;
    auto* index = new (record) Index{};
    if (initIndexStorage(*index, ef_construction) != Error::Ok) {
        releaseArray(index);
        return nullptr;
    }
    index->raw_mode = raw_mode;
    generateRotation(index->rotation, seed);
    generateProjection(index->projection, seed);
    deriveReducedProjection(index->projection, index->reduced_projection);
    return index;
}

void deinit(Index& index) {
    releasePages(index.rotation, kRotationBytes);
    releasePages(index.projection, kProjectionBytes);
    releaseArray(index.projection_scratch);
    deinit(index.reduced_projection);
    index.payloads.deinit();
    deinit(index.graph);
    index.raw_f32.deinit();
    index.raw_i8.deinit();
    index.raw_scales.deinit();
    index.calibration_mean.deinit();
    index.calibration_std.deinit();
    releaseArray(index.spare_scratch);
    releaseArray(index.rotated_scratch);
    index.id_to_node.deinit();
    index.tombstones.deinit();
    index = Index{};
}

void destroyIndex(Index* index) {
    if (!index) return;
    deinit(*index);
    releaseArray(index);
}

std::uint64_t memoryBytes(const Index& index) {
    std::uint64_t total = kIndexRecordEstimate;
    total += kPayloadWeight * index.payloads.cap;
    total += kLayerWeight * index.graph.layers.cap;
    for (const Layer& layer : index.graph.layers) total += layerTerms(layer);
    const TraversalScratch& scratch = index.graph.scratch;
    total += bitSetTerm(scratch.visited) + kCandidateWeight * (scratch.candidate_slots + scratch.result_slots);
    total += kInt8Weight * index.raw_i8.cap;
    // The float arrays: projection scratch, raw copies and scales,
    // calibration, and the spare and rotated scratch.
    total += kFloatWeight * (std::uint64_t(kRoutingBits) + index.raw_f32.cap + index.raw_scales.cap +
                             index.calibration_mean.len + index.calibration_std.len + kDim + kDim);
    total += kIdSlotWeight * index.id_to_node.slot_count;
    total += bitSetTerm(index.tombstones);
    return total;
}

bool hasCompleteRawStore(const Index& index) {
    const std::size_t want = index.payloads.len * kDim;
    if (index.raw_mode == RawMode::F32) return index.raw_f32.len == want;
    if (index.raw_mode == RawMode::I8) return index.raw_i8.len == want && index.raw_scales.len == index.payloads.len;
    return false;
}

}  // namespace korvane

#include "index/index.h"

#include <new>

#include "common/memory.h"
#include "encoding/projection.h"

namespace korvane {
namespace {

std::size_t rotationBytes(const Shape& shape) { return rotationFloats(shape.dim) * sizeof(float); }
std::size_t projectionBytes(const Shape& shape) { return projectionFloats(shape) * sizeof(float); }

// Weights of the memory estimate, in bytes per element. They are part of
// what the estimate promises, not the in-memory sizes of these records.
// The record and both matrices: 1,311,176 for the default shape.
constexpr std::uint64_t kIndexRecordEstimate = 456;
constexpr std::uint64_t kOrderWeight = 4;
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

// The arrays only some shapes have: the rotation's dealing order and the
// Euclidean centre.
bool allocateShapeExtras(Index& index) {
    const Shape& shape = index.shape;
    if (rotationHasOrder(shape.dim) && !(index.rotation_order = allocateArray<std::uint32_t>(shape.dim))) return false;
    if (shape.metric == Metric::Euclidean && !(index.centre = allocateArray<float>(shape.padded))) return false;
    return true;
}

}  // namespace

Error initIndexStorage(Index& index, std::uint64_t ef_construction, const Shape& shape) {
    index = Index{};
    index.shape = shape;
    index.payloads.stride = payloadBytes(shape);
    // Creation order: rotation, rotated/spare scratch, projection, projection
    // scratch, reduced projection, then what only some shapes have.
    index.rotation = static_cast<float*>(allocatePages(rotationBytes(shape)));
    if (index.rotation) index.rotated_scratch = allocateArray<float>(shape.padded);
    if (index.rotated_scratch) index.spare_scratch = allocateArray<float>(shape.padded);
    if (index.spare_scratch) index.projection = static_cast<float*>(allocatePages(projectionBytes(shape)));
    if (index.projection) index.projection_scratch = allocateArray<float>(kRoutingBits);
    if (!index.projection_scratch || !allocateReducedProjection(index.reduced_projection, shape.padded) ||
        !allocateShapeExtras(index)) {
        deinit(index);
        return Error::OutOfMemory;
    }
    initGraph(index.graph, ef_construction);
    return Error::Ok;
}

void generateMatrices(Index& index, std::uint64_t seed) {
    index.seed = seed;
    generateShapedRotation(index.shape, index.rotation, index.rotation_order, seed);
    generateShapedProjection(index.shape, index.projection, seed);
    deriveReducedProjection(index.projection, index.reduced_projection);
}

Index* createIndex(std::uint64_t ef_construction, std::uint64_t seed, RawMode raw_mode, const Shape& shape) {
    void* record = allocateBytes(sizeof(Index));
    if (!record) return nullptr;
    auto* index = new (record) Index{};
    if (initIndexStorage(*index, ef_construction, shape) != Error::Ok) {
        releaseArray(index);
        return nullptr;
    }
    index->raw_mode = raw_mode;
    generateMatrices(*index, seed);
    return index;
}

void deinit(Index& index) {
    releasePages(index.rotation, rotationBytes(index.shape));
    releaseArray(index.rotation_order);
    releasePages(index.projection, projectionBytes(index.shape));
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
    releaseArray(index.centre);
    index.squared_norms.deinit();
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
    const Shape& shape = index.shape;
    std::uint64_t total = kIndexRecordEstimate + rotationBytes(shape) + projectionBytes(shape);
    if (index.rotation_order) total += kOrderWeight * shape.dim;
    total += payloadBytes(shape) * index.payloads.cap;
    total += kLayerWeight * index.graph.layers.cap;
    for (const Layer& layer : index.graph.layers) total += layerTerms(layer);
    const TraversalScratch& scratch = index.graph.scratch;
    total += bitSetTerm(scratch.visited) + kCandidateWeight * (scratch.candidate_slots + scratch.result_slots);
    total += kInt8Weight * index.raw_i8.cap;
    // The float arrays: projection scratch, raw copies and scales,
    // calibration, and the spare and rotated scratch.
    total += kFloatWeight * (std::uint64_t(kRoutingBits) + index.raw_f32.cap + index.raw_scales.cap +
                             index.calibration_mean.len + index.calibration_std.len + shape.padded + shape.padded);
    // A Euclidean index's centre and squared lengths.
    if (index.centre) total += kFloatWeight * (std::uint64_t(shape.padded) + index.squared_norms.cap);
    total += kIdSlotWeight * index.id_to_node.slot_count;
    total += bitSetTerm(index.tombstones);
    return total;
}

bool hasCompleteRawStore(const Index& index) {
    const std::size_t want = index.payloads.len * index.shape.padded;
    if (index.raw_mode == RawMode::F32) return index.raw_f32.len == want;
    if (index.raw_mode == RawMode::I8) return index.raw_i8.len == want && index.raw_scales.len == index.payloads.len;
    return false;
}

}  // namespace korvane

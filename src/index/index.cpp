#include "index/index.h"

#include <new>

#include "common/memory.h"
#include "encoding/projection.h"

namespace korvane {
namespace {

constexpr std::size_t kRotationBytes = kRotationFloats * sizeof(float);
constexpr std::size_t kProjectionBytes = kProjectionFloats * sizeof(float);

std::uint64_t layerTerms(const Layer& layer) {
    return 400 * std::uint64_t(layer.nodes.cap) + 128 * std::uint64_t(layer.codes.cap) +
           13 * std::uint64_t(layer.positions.slot_count);
}

std::uint64_t bitSetTerm(const BitSet& bits) { return 8 * std::uint64_t(bits.wordCount()); }

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

Index* createIndex(std::uint64_t ef_construction, std::uint64_t seed) {
    void* record = allocateBytes(sizeof(Index));
    if (!record) return nullptr;
    auto* index = new (record) Index{};
    if (initIndexStorage(*index, ef_construction) != Error::Ok) {
        releaseArray(index);
        return nullptr;
    }
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
    total += 152 * std::uint64_t(index.payloads.cap);
    total += 72 * std::uint64_t(index.graph.layers.cap);
    for (const Layer& layer : index.graph.layers) total += layerTerms(layer);
    const TraversalScratch& scratch = index.graph.scratch;
    total += bitSetTerm(scratch.visited) + 16 * std::uint64_t(scratch.candidate_slots + scratch.result_slots);
    total += std::uint64_t(index.raw_i8.cap);
    total += 4 * (std::uint64_t(kRoutingBits) + index.raw_f32.cap + index.raw_scales.cap +
                  index.calibration_mean.len + index.calibration_std.len + kDim + kDim);
    total += 17 * std::uint64_t(index.id_to_node.slot_count);
    total += bitSetTerm(index.tombstones);
    return total;
}

bool hasCompleteRawStore(const Index& index) {
    const std::size_t want = index.payloads.len * kDim;
    if (index.raw_mode == 1) return index.raw_f32.len == want;
    if (index.raw_mode == 2) return index.raw_i8.len == want && index.raw_scales.len == index.payloads.len;
    return false;
}

}  // namespace korvane

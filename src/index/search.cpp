// The search driver: walk the graph, score candidates from payloads, and
// re-score the best of them exactly when every vector has a raw copy.
#include "index/search.h"

#include <cstdint>

#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/scoring.h"
#include "graph/search.h"
#include "index/metric.h"
#include "index/query.h"
#include "index/scored_walk.h"

namespace korvane {
namespace {

// Candidates are scored in blocks so the block scorers can use every lane;
// offers still happen one by one in candidate order.
constexpr std::size_t kScoreBlock = 64;

// Candidates' payloads and raw copies are scattered over the index, so each
// one is a cache miss; asking for them this many candidates ahead lets the
// misses overlap instead of stalling the scorers one after another.
constexpr std::size_t kPrefetchAhead = 16;

void prefetchPayload(const Index& index, CandidateList candidates, std::size_t c) {
    if (c < candidates.len) prefetchBytes(&index.payloads[candidates.items[c].node], index.payloads.stride);
}

// 8-bit copies of the first-stage survivors, in whatever order the heap holds
// them. Float copies are four times larger (16 cache lines) and a deep first
// stage keeps many of them, so those are fetched a few copies ahead as
// scoring goes instead.
constexpr std::size_t kFloatCopiesAhead = 4;

void prefetchRawCopies(const Index& index, const ResultHeap& survivors) {
    if (index.raw_mode != RawMode::I8) return;
    const std::size_t padded = index.shape.padded;
    for (std::size_t i = 0; i < survivors.len; ++i) {
        const std::uint64_t node = survivors.items[i].id;
        prefetchBytes(index.raw_i8.data + node * padded, padded);
        __builtin_prefetch(&index.raw_scales[node]);
    }
}

void prefetchFloatCopy(const Index& index, const SearchContext& context, std::size_t i, std::size_t count) {
    const std::size_t padded = index.shape.padded;
    if (i < count) prefetchBytes(index.raw_f32.data + context.rerank[i].id * padded, padded * sizeof(float));
}

// Offers (key(node), estimate) of every live candidate to `heap`, in order.
template <class Key>
void offerEstimates(const Index& index, const SearchContext& context, LutSums sums,
                    CandidateList candidates, ResultHeap& heap, Key key) {
    const TurboQuantPayload* block[kScoreBlock];
    std::uint64_t nodes[kScoreBlock];
    float scores[kScoreBlock];
    std::size_t filled = 0;
    auto flush = [&] {
        estimateScoreBlock(block, filled, context.lut, sums, scores, index.shape.codeGroups());
        for (std::size_t i = 0; i < filled; ++i)
            heap.offer(SearchResult{key(nodes[i]), metricScore(index, scores[i], nodes[i], context.query_squared)});
        filled = 0;
    };
    for (std::size_t c = 0; c < candidates.len; ++c) {
        prefetchPayload(index, candidates, c + kPrefetchAhead);
        const std::uint64_t node = candidates.items[c].node;
        if (isRemoved(index, node)) continue;
        block[filled] = &index.payloads[node];
        nodes[filled++] = node;
        if (filled == kScoreBlock) flush();
    }
    if (filled) flush();
}

}  // namespace

// Offers exact scores of rerank[0..count) (node numbers) to `heap`, in order.
void offerExactScores(const Index& index, const SearchContext& context, std::size_t count,
                      ResultHeap& heap) {
    const std::int8_t* raws[kScoreBlock];
    float scales[kScoreBlock];
    float scores[kScoreBlock];
    if (index.raw_mode == RawMode::F32)
        for (std::size_t i = 0; i < kFloatCopiesAhead; ++i) prefetchFloatCopy(index, context, i, count);
    for (std::size_t start = 0; start < count; start += kScoreBlock) {
        const std::size_t n = count - start < kScoreBlock ? count - start : kScoreBlock;
        if (index.raw_mode == RawMode::F32) {
            for (std::size_t i = 0; i < n; ++i) {
                prefetchFloatCopy(index, context, start + i + kFloatCopiesAhead, count);
                scores[i] = exactScore(index, context.rerank[start + i].id, context.query_rotated);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t node = context.rerank[start + i].id;
                raws[i] = index.raw_i8.data + node * index.shape.padded;
                scales[i] = index.raw_scales[node];
            }
            exactScoreI8Block(context.query_rotated, raws, scales, n, scores, index.shape.padded);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t node = context.rerank[start + i].id;
            heap.offer(SearchResult{index.payloads[node].id, metricScore(index, scores[i], node, context.query_squared)});
        }
    }
}

std::size_t firstStageSize(std::size_t k, std::uint64_t factor, std::uint64_t slots) {
    std::uint64_t kept = slots;  // factor 0: every candidate, and the walk returns at most `slots`
    if (factor != 0 && __builtin_mul_overflow(std::uint64_t{k}, factor, &kept)) kept = UINT64_MAX;
    return kept < slots ? kept : slots;
}

RoutingCode routeQuery(const Index& index, SearchContext& context) {
    return verifiedRoutingCode(index.projection, index.reduced_projection, context.query_rotated,
                               context.query_projected);
}

void routeBlock(const Index& index, const float* rotated, std::size_t count, float* projected,
                RoutingCode* codes) {
    matVecBlock(index.projection, kRoutingBits, rotated, count, projected, index.shape.padded);
    for (std::size_t v = 0; v < count; ++v) codes[v] = routingCodeOf(projected + v * kRoutingBits);
}

bool hasGraphToWalk(const Index& index, const SearchContext& context) {
    const RoutingGraph& graph = index.graph;
    return graph.node_count != 0 && context.ef_search != 0 && graph.layers.len != 0;
}

void beginWalk(const Index& index, SearchContext& context, const RoutingCode& code, LayerWalk& walk) {
    const RoutingGraph& graph = index.graph;
    std::uint64_t entry = graph.entry_point;
    for (std::size_t level = graph.layers.len - 1; level >= 1; --level)
        entry = greedyDescend(graph.layers[level], code, entry);
    const std::size_t breadth = context.ef_search < graph.node_count ? context.ef_search : graph.node_count;
    beginLayerWalk(walk, graph.layers[0], code, entry, breadth, context.scratch);
}

CandidateList walkGraph(const Index& index, SearchContext& context, const RoutingCode& code) {
    LayerWalk walk;
    beginWalk(index, context, code, walk);
    while (stepLayerWalk(walk, index.graph.layers[0], code)) {
    }
    return finishLayerWalk(walk);
}

void prefetchFirstPayloads(const Index& index, CandidateList candidates) {
    for (std::size_t c = 0; c < kPrefetchAhead; ++c) prefetchPayload(index, candidates, c);
}

std::size_t scoreCandidates(const Index& index, SearchContext& context, CandidateList candidates,
                            SearchResult* results, std::size_t k) {
    // The first payloads arrive while the query's table is being built.
    prefetchFirstPayloads(index, candidates);
    const LutSums sums = prepareEstimates(index, context);
    ResultHeap heap{results, k};
    if (!hasCompleteRawStore(index)) {
        offerEstimates(index, context, sums, candidates, heap,
                       [&](std::uint64_t node) { return index.payloads[node].id; });
        return heap.drainIntoOrder();
    }
    ResultHeap rerank{context.rerank, firstStageSize(k, context.rerank_factor, context.ef_search)};
    offerEstimates(index, context, sums, candidates, rerank, [](std::uint64_t node) { return node; });
    prefetchRawCopies(index, rerank);
    const std::size_t count = rerank.drainIntoOrder();
    offerExactScores(index, context, count, heap);
    return heap.drainIntoOrder();
}

float exactScore(const Index& index, std::uint64_t node, const float* query_rotated) {
    const std::size_t padded = index.shape.padded;
    if (index.raw_mode == RawMode::F32) return exactScoreF32(query_rotated, index.raw_f32.data + node * padded, padded);
    return exactScoreI8(query_rotated, index.raw_i8.data + node * padded, index.raw_scales[node], padded);
}

LutSums prepareEstimates(const Index& index, SearchContext& context) {
    const Shape& shape = index.shape;
    // The quantized query covers the vector's own components; the padding
    // stays zero, so its table rows add nothing.
    quantizeQuery(context.query_rotated, context.query_scoring, shape.dim);
    for (std::size_t j = shape.dim; j < shape.padded; ++j) context.query_scoring[j] = 0.0f;
    return buildLut(context.query_scoring, calibrationMean(index), calibrationStd(index), context.lut, shape.padded);
}

bool readyToSearch(const Index& index, SearchContext& context, std::size_t k) {
    if (index.live_count == 0 || k == 0) return false;
    if (index.shape.metric == Metric::Euclidean) context.query_squared = squaredLength(index, context.query_rotated);
    // A context made when the index was smaller is grown before the walk
    // rather than letting the traversal run past its visited set.
    return ensureCapacity(context.scratch, index.payloads.len > 0 ? index.payloads.len : 1, context.ef_search);
}

std::size_t search(const Index& index, SearchContext& context, const float* query,
                   SearchResult* results, std::size_t k) {
    if (!prepareVector(index, query, context.query_rotated)) return 0;
    if (!readyToSearch(index, context, k)) return 0;
    if (context.walk == Walk::Scored && hasGraphToWalk(index, context)) {
        ScoredWalk walk;
        beginScoredWalk(index, context, walk);
        while (stepScoredWalk(index, context, walk)) {
        }
        return finishScoredWalk(index, context, walk, results, k);
    }
    CandidateList candidates{nullptr, 0};
    if (hasGraphToWalk(index, context)) candidates = walkGraph(index, context, routeQuery(index, context));
    return scoreCandidates(index, context, candidates, results, k);
}

}  // namespace korvane

// Exact top-k over a caller's list of allowed ids, without the graph.
#include "encoding/projection.h"
#include "index/metric.h"
#include "index/query.h"
#include "index/search.h"

namespace korvane {

std::size_t searchFiltered(const Index& index, SearchContext& context, const float* query,
                           const std::uint64_t* allowed_ids, std::uint64_t n_allowed,
                           std::uint64_t k, SearchResult* results) {
    if (k == 0) return 0;
    const std::size_t capacity = k < kMaxResults ? k : kMaxResults;
    if (!prepareVector(index, query, context.query_rotated)) return 0;
    if (index.shape.metric == Metric::Euclidean) context.query_squared = squaredLength(index, context.query_rotated);
    const bool exact = hasCompleteRawStore(index);
    const LutSums sums = exact ? LutSums{0.0f, 0.0f} : prepareEstimates(index, context);

    ResultHeap heap{results, capacity};
    for (std::uint64_t i = 0; i < n_allowed; ++i) {
        const std::uint64_t* node = index.id_to_node.find(allowed_ids[i]);
        if (!node) continue;
        const float inner = exact ? exactScore(index, *node, context.query_rotated)
                                  : estimateScore(index.payloads[*node], context.lut, sums, index.shape.codeGroups());
        heap.offer(SearchResult{allowed_ids[i], metricScore(index, inner, *node, context.query_squared)});
    }
    return heap.drainIntoOrder();
}

}  // namespace korvane

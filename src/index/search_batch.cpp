// Many queries on worker threads. Each worker keeps a group of queries in
// flight (see query_group.h) and takes blocks of queries as it runs out, so
// the threads stay busy until the last block is handed out.
#include "common/threads.h"
#include "index/query_group.h"
#include "index/search.h"

namespace korvane {
namespace {

struct SearchWorker {
    const Index* index;
    QueryGroup* group;
    const QueryStream* stream;
};

void* searchWorkerMain(void* arg) {
    const auto* worker = static_cast<const SearchWorker*>(arg);
    answerQueries(*worker->index, *worker->group, *worker->stream);
    return nullptr;
}

// Runs the workers; false when a thread could not be started (every
// started one has been joined by then).
bool runOnThreads(const Index& index, QueryGroup* groups, std::uint64_t threads, const QueryStream& stream) {
    auto* workers = allocateArray<SearchWorker>(threads);
    auto* handles = allocateArray<pthread_t>(threads);
    bool ran = workers && handles;
    if (ran) {
        for (std::uint64_t t = 0; t < threads; ++t) workers[t] = SearchWorker{&index, &groups[t], &stream};
        ran = runWorkers(handles, threads, searchWorkerMain, workers);
    }
    releaseArray(workers);
    releaseArray(handles);
    return ran;
}

void releaseGroups(QueryGroup* groups, std::uint64_t count) {
    for (std::uint64_t t = 0; t < count; ++t) deinit(groups[t]);
    releaseArray(groups);
}

// A worker's share of the queries, at least 1, at most `most`: a small
// batch needs fewer slots (each a whole search context) and smaller blocks,
// so that every thread gets work.
std::size_t sharePerThread(std::uint64_t n_queries, std::uint64_t threads, std::size_t most) {
    const std::uint64_t share = n_queries / threads + (n_queries % threads != 0);
    return share < most ? (share > 0 ? share : 1) : most;
}

// Every worker's group state, made before any query runs; nullptr on failure.
// Every slot's context gets the batch's re-score factor and walk.
QueryGroup* makeGroups(const Index& index, std::uint64_t threads, std::uint64_t ef_search,
                       std::uint64_t rerank_factor, Walk walk, std::uint64_t n_queries) {
    const std::size_t slots = sharePerThread(n_queries, threads, kGroupQueries);
    auto* groups = allocateArray<QueryGroup>(threads);
    if (!groups) return nullptr;
    for (std::uint64_t built = 0; built < threads; ++built) {
        if (initGroup(groups[built], index, ef_search, slots) != Error::Ok) {
            releaseGroups(groups, built);
            return nullptr;
        }
        for (std::size_t s = 0; s < groups[built].slot_count; ++s) {
            groups[built].slots[s].context.rerank_factor = rerank_factor;
            groups[built].slots[s].context.walk = walk;
        }
    }
    return groups;
}

}  // namespace

Error searchBatch(const Index& index, const float* queries, std::uint64_t n_queries, std::uint64_t k,
                  std::uint64_t ef_search, std::uint64_t rerank_factor, Walk walk, std::uint64_t n_threads, std::uint64_t* out_ids,
                  float* out_scores, std::uint64_t* out_counts) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(n_queries, k, &total) || total >= (std::uint64_t{1} << 60)) return Error::InvalidArgument;
    SearchResult* records = nullptr;
    if (total > 0 && !(records = allocateArray<SearchResult>(total))) return Error::OutOfMemory;

    std::uint64_t threads = n_threads > 1 ? n_threads : 1;
    if (threads > (n_queries > 1 ? n_queries : 1)) threads = n_queries > 1 ? n_queries : 1;
    QueryGroup* groups = makeGroups(index, threads, ef_search, rerank_factor, walk, n_queries);
    if (!groups) {
        releaseArray(records);
        return Error::OutOfMemory;
    }

    std::atomic<std::uint64_t> next_block{0};
    const QueryStream stream{queries, n_queries, sharePerThread(n_queries, threads, kFrontBlock),
                             k, records, out_counts, &next_block};
    const bool ran = threads == 1 ? (answerQueries(index, groups[0], stream), true)
                                  : runOnThreads(index, groups, threads, stream);
    releaseGroups(groups, threads);
    if (ran) {
        for (std::uint64_t q = 0; q < n_queries; ++q)
            for (std::uint64_t i = 0; i < out_counts[q]; ++i) {
                out_ids[q * k + i] = records[q * k + i].id;
                out_scores[q * k + i] = records[q * k + i].score;
            }
    }
    releaseArray(records);
    return ran ? Error::Ok : Error::OutOfMemory;
}

}  // namespace korvane

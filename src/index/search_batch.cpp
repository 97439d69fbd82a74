// Many queries on worker threads, one context per worker.
#include "common/threads.h"
#include "index/search.h"

namespace korvane {
namespace {

struct BatchSearch {
    const Index* index;
    const float* queries;
    std::uint64_t n_queries;
    std::uint64_t k;
    std::uint64_t stride;
    SearchResult* records;
    std::uint64_t* counts;
};

struct SearchWorker {
    const BatchSearch* batch;
    SearchContext* context;
    std::uint64_t first;
};

void runQueries(const BatchSearch& batch, SearchContext& context, std::uint64_t first) {
    for (std::uint64_t q = first; q < batch.n_queries; q += batch.stride)
        batch.counts[q] = search(*batch.index, context, batch.queries + q * kDim,
                                 batch.records + q * batch.k, batch.k);
}

void* searchWorkerMain(void* arg) {
    const auto* worker = static_cast<const SearchWorker*>(arg);
    runQueries(*worker->batch, *worker->context, worker->first);
    return nullptr;
}

// Runs the workers; false when a thread could not be started (every
// started one has been joined by then).
bool runOnThreads(const BatchSearch& batch, SearchContext* contexts, std::uint64_t threads) {
    auto* workers = allocateArray<SearchWorker>(threads);
    auto* handles = allocateArray<pthread_t>(threads);
    bool ran = workers && handles;
    if (ran) {
        for (std::uint64_t t = 0; t < threads; ++t) workers[t] = SearchWorker{&batch, &contexts[t], t};
        ran = runWorkers(handles, threads, searchWorkerMain, workers);
    }
    releaseArray(workers);
    releaseArray(handles);
    return ran;
}

void releaseContexts(SearchContext* contexts, std::uint64_t count) {
    for (std::uint64_t t = 0; t < count; ++t) deinit(contexts[t]);
    releaseArray(contexts);
}

}  // namespace

Error searchBatch(const Index& index, const float* queries, std::uint64_t n_queries, std::uint64_t k,
                std::uint64_t ef_search, std::uint64_t n_threads, std::uint64_t* out_ids,
                float* out_scores, std::uint64_t* out_counts) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(n_queries, k, &total) || total >= (std::uint64_t{1} << 60)) return Error::InvalidArgument;
    SearchResult* records = nullptr;
    if (total > 0 && !(records = allocateArray<SearchResult>(total))) return Error::OutOfMemory;

    std::uint64_t threads = n_threads > 1 ? n_threads : 1;
    if (threads > (n_queries > 1 ? n_queries : 1)) threads = n_queries > 1 ? n_queries : 1;
    auto* contexts = allocateArray<SearchContext>(threads);
    std::uint64_t built = 0;
    if (contexts)
        for (; built < threads; ++built)
            if (initContext(contexts[built], index, ef_search) != Error::Ok) break;
    if (built < threads) {
        releaseContexts(contexts, built);
        releaseArray(records);
        return Error::OutOfMemory;
    }

    const BatchSearch batch{&index, queries, n_queries, k, threads, records, out_counts};
    const bool ran = threads == 1 ? (runQueries(batch, contexts[0], 0), true)
                                  : runOnThreads(batch, contexts, threads);
    releaseContexts(contexts, threads);
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

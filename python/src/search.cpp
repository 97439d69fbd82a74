#include "search.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "conversion.h"

namespace py = pybind11;

namespace korvane_py {
namespace {

struct Query {
    uint64_t k, ef, rerank, threads;
    uint32_t walk;
    const uint64_t* allowed;  // nullptr: search the graph
    uint64_t n_allowed;
};

struct Output {
    const float* queries;
    uint32_t dim;
    uint64_t count;
    uint64_t* ids;  // count rows of k
    float* scores;
};

void pad(const Query& query, uint64_t found, uint64_t* ids, float* scores) {
    for (uint64_t i = found; i < query.k; ++i) {
        ids[i] = std::numeric_limits<uint64_t>::max();
        scores[i] = -std::numeric_limits<float>::infinity();
    }
}

// Queries [begin, end) one by one on one pooled context; false when no
// context can be had.
bool searchRange(IndexObject& object, const Query& query, const Output& out, uint64_t begin, uint64_t end) {
    PooledContext pooled(object.contexts, object.handle, query.ef, query.rerank, query.walk);
    if (!pooled.context) return false;
    for (uint64_t q = begin; q < end; ++q) {
        const float* vector = out.queries + q * out.dim;
        uint64_t* ids = out.ids + q * query.k;
        float* scores = out.scores + q * query.k;
        const uint64_t found =
            query.allowed ? korvane_search_filtered(object.handle, pooled.context, vector, query.allowed,
                                                    query.n_allowed, query.k, ids, scores)
                          : korvane_search(object.handle, pooled.context, vector, query.k, ids, scores);
        pad(query, found, ids, scores);
    }
    return true;
}

// Filtered queries spread over worker threads, each with its own context.
bool searchRangesInParallel(IndexObject& object, const Query& query, const Output& out) {
    const uint64_t workers = std::min(query.threads, out.count);
    const auto begin_of = [&](uint64_t w) { return out.count * w / workers; };
    std::vector<std::thread> threads;
    threads.reserve(workers);
    std::vector<char> ok(workers, 1);
    uint64_t started = 1;
    for (; started < workers; ++started) {
        const uint64_t w = started, begin = begin_of(w), end = begin_of(w + 1);
        try {
            threads.emplace_back([&, w, begin, end] { ok[w] = searchRange(object, query, out, begin, end); });
        } catch (const std::system_error&) {
            break;
        }
    }
    // The calling thread takes the first share and every share no thread could be started for.
    ok[0] = searchRange(object, query, out, 0, begin_of(1)) &&
            (started == workers || searchRange(object, query, out, begin_of(started), out.count));
    for (std::thread& thread : threads) thread.join();
    return std::all_of(ok.begin(), ok.end(), [](char each) { return each != 0; });
}

bool searchBatch(IndexObject& object, const Query& query, const Output& out) {
    std::vector<uint64_t> counts(out.count);
    if (korvane_search_batch_walk(object.handle, out.queries, out.count, query.k, query.ef, query.rerank, query.walk,
                                  query.threads, out.ids, out.scores, counts.data()) != KORVANE_OK)
        return false;
    for (uint64_t q = 0; q < out.count; ++q) pad(query, counts[q], out.ids + q * query.k, out.scores + q * query.k);
    return true;
}

// From about this many queries the batch call is faster than a loop over
// a pooled context even on one thread (it rotates queries a block at a
// time, which counts more the wider the vectors); below it, its context
// allocation costs more than that saves.
constexpr uint64_t kBatchFrom = 8;

bool run(IndexObject& object, const Query& query, const Output& out) {
    if (query.allowed) {
        if (out.count <= 1 || query.threads <= 1) return searchRange(object, query, out, 0, out.count);
        return searchRangesInParallel(object, query, out);
    }
    if (out.count < kBatchFrom && (out.count <= 1 || query.threads <= 1))
        return searchRange(object, query, out, 0, out.count);
    return searchBatch(object, query, out);
}

// A long batch runs in pieces of about kPieceSeconds, and pending signals
// are checked between pieces, so that Ctrl-C stops it soon. A query's
// results do not depend on the piece it is in. The first piece is one that
// takes a few milliseconds on the usual settings: smaller batches stay one
// call, and later pieces are sized from its rate.
constexpr double kPieceSeconds = 0.2;
constexpr uint64_t kFirstPiecePerThread = 256;

bool runInPieces(IndexObject& object, const Query& query, const Output& out) {
    uint64_t piece = kFirstPiecePerThread * std::max<uint64_t>(query.threads, 1);
    for (uint64_t begin = 0; begin < out.count;) {
        const uint64_t n = std::min(piece, out.count - begin);
        const Output part{out.queries + begin * out.dim, out.dim, n, out.ids + begin * query.k,
                          out.scores + begin * query.k};
        const auto start = std::chrono::steady_clock::now();
        if (!run(object, query, part)) return false;
        begin += n;
        if (begin == out.count) break;
        {
            py::gil_scoped_acquire held;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double fitting = seconds > 0 ? n * kPieceSeconds / seconds : 4.0 * n;
        piece = static_cast<uint64_t>(std::clamp(fitting, 1.0, 4.0 * n));
    }
    return true;
}

// The allowed ids with repeats dropped, first listing kept: the C call
// scores a repeated id once per listing, and results hold distinct ids.
bool distinctInPlace(std::vector<uint64_t>& ids) {
    std::vector<uint64_t> sorted(ids);
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return false;
    std::unordered_set<uint64_t> seen;
    seen.reserve(sorted.size());
    std::erase_if(ids, [&](uint64_t id) { return !seen.insert(id).second; });
    return true;
}

uint32_t toWalk(const py::object& walk) {
    if (py::isinstance<py::str>(walk)) {
        const std::string word = walk.cast<std::string>();
        if (word == "scored") return KORVANE_WALK_SCORED;
        if (word == "hamming") return KORVANE_WALK_HAMMING;
    }
    throw py::value_error("walk must be 'scored' or 'hamming', not " + py::repr(walk).cast<std::string>());
}

}  // namespace

py::tuple searchIndex(IndexObject& object, py::object queries, py::object k, py::object ef, py::object rerank,
                      py::object threads, py::object filter, py::object walk) {
    constexpr uint64_t kUnbounded = std::numeric_limits<int64_t>::max();
    const uint64_t k_value = toCount(k, "k", 1, KORVANE_MAX_K);
    // Fewer candidates than k would pad rows that the index could fill.
    const uint64_t ef_value = std::max(toCount(ef, "ef", 1, kUnbounded), k_value);
    Query query{k_value, ef_value, toCount(rerank, "rerank", 0, kUnbounded), 0, toWalk(walk), nullptr, 0};
    const Rows rows = toRows(queries, "queries", object.dim, object.metric, false);
    query.threads = toThreadCount(threads, rows.count);
    std::optional<IdArray> allowed;
    std::vector<uint64_t> distinct;
    if (!filter.is_none()) {
        allowed = toIds(filter, "filter");
        query.allowed = allowed->data();
        query.n_allowed = static_cast<uint64_t>(allowed->size());
        distinct.assign(query.allowed, query.allowed + query.n_allowed);
        if (distinctInPlace(distinct)) {
            query.allowed = distinct.data();
            query.n_allowed = distinct.size();
        }
        if (query.n_allowed == 0) query.allowed = &query.n_allowed;  // an empty filter still filters
    }
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(query.k)};
    if (!rows.single) shape.insert(shape.begin(), static_cast<py::ssize_t>(rows.count));
    py::array_t<uint64_t> ids(shape);
    py::array_t<float> scores(shape);
    const Output out{rows.array.data(), rows.dim, rows.count, ids.mutable_data(), scores.mutable_data()};
    bool ok = true;
    {
        py::gil_scoped_release released;
        ReadAccess access(object);
        ok = runInPieces(object, query, out);
    }
    if (!ok) throw std::bad_alloc();
    return py::make_tuple(std::move(ids), std::move(scores));
}

}  // namespace korvane_py

// The tool's only door into the index: the public C interface, wrapped so
// that every handle is released and every failure becomes a Failure with a
// one-line message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "korvane.h"
#include "vector_io.h"

namespace korvane::tool {

struct IndexDeleter {
    void operator()(korvane_index* index) const { korvane_index_destroy(index); }
};
struct ContextDeleter {
    void operator()(korvane_context* context) const { korvane_context_destroy(context); }
};
using IndexPtr = std::unique_ptr<korvane_index, IndexDeleter>;
using ContextPtr = std::unique_ptr<korvane_context, ContextDeleter>;

// The library's re-score factor of a new context.
constexpr std::uint64_t kDefaultRerank = 4;

// How each query of a search is answered: the re-score factor and the walk
// of the base layer (a KORVANE_WALK_ value).
struct SearchChoice {
    std::uint64_t rerank = kDefaultRerank;
    std::uint32_t walk = KORVANE_WALK_SCORED;
};

// An index of `dim` floats ranked by `metric` (a KORVANE_METRIC_ value).
IndexPtr createIndex(std::uint64_t ef_construction, std::uint64_t seed,
                     std::uint32_t store = KORVANE_STORE_I8, std::uint64_t dim = kDim,
                     std::uint32_t metric = KORVANE_METRIC_IP);
// Reads a file of any dimension and metric.
IndexPtr loadIndex(const std::string& path);

// Throws Failure unless `vectors` have the index's width: the library reads
// exactly that many floats per vector, whatever the caller passed.
void checkWidth(const korvane_index* index, const VectorSet& vectors, const std::string& what);
void saveIndex(const korvane_index* index, const std::string& path);
ContextPtr createContext(const korvane_index* index, std::uint64_t ef_search);

// Adds all vectors in one batch (at most one thread per vector), reporting
// the number added so far after each of the library's chunks.
void addAll(korvane_index* index, const std::vector<std::uint64_t>& ids, const VectorSet& vectors,
            std::uint64_t threads, const std::function<void(std::uint64_t)>& progress);

struct SearchResults {
    std::uint64_t k = 0;
    std::vector<std::uint64_t> ids;  // query q's results at q * k
    std::vector<float> scores;
    std::vector<std::uint64_t> counts;
};

// Batch search with at least k candidates per query (an ef_search below k
// is raised to k) and at most one thread per query.
SearchResults searchAll(const korvane_index* index, const VectorSet& queries, std::uint64_t k,
                        std::uint64_t ef_search, std::uint64_t threads, SearchChoice choice = {});

// A loop of single searches on the calling thread, with one context.
SearchResults searchOneByOne(const korvane_index* index, korvane_context* context, const VectorSet& queries,
                             std::uint64_t k);

// Exact search restricted to `allowed` ids, one context per thread.
SearchResults searchAllFiltered(const korvane_index* index, const VectorSet& queries,
                                const std::vector<std::uint64_t>& allowed, std::uint64_t k,
                                std::uint64_t threads);

// The row numbers 0 .. count-1 as ids.
std::vector<std::uint64_t> rowIds(std::uint64_t count);

}  // namespace korvane::tool

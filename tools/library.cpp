#include "library.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "binary_file.h"
#include "cli_error.h"
#include "parallel.h"

namespace korvane::tool {

namespace {

constexpr std::size_t kMaxIndexPathBytes = 1023;

}  // namespace

IndexPtr createIndex(std::uint64_t ef_construction, std::uint64_t seed, std::uint32_t store, std::uint64_t dim,
                     std::uint32_t metric) {
    if (dim == 0 || dim > KORVANE_MAX_DIM)
        throw Failure("cannot create an index of " + std::to_string(dim) + " dimensions; korvane takes 1 to " +
                      std::to_string(KORVANE_MAX_DIM));
    // The default shape goes through the call that has always made it, so
    // its files stay what they were.
    const bool default_shape = dim == kDim && metric == KORVANE_METRIC_IP;
    IndexPtr index(default_shape ? korvane_index_create_with_store(ef_construction, seed, store)
                                 : korvane_index_create_with_options(static_cast<std::uint32_t>(dim), metric,
                                                                     store, ef_construction, seed));
    if (!index) throw Failure("cannot create an index: out of memory");
    return index;
}

void checkWidth(const korvane_index* index, const VectorSet& vectors, const std::string& what) {
    if (vectors.dim != korvane_index_dim(index))
        throw Failure(what + " have " + std::to_string(vectors.dim) + " dimensions; the index has " +
                      std::to_string(korvane_index_dim(index)));
}

namespace {

// The library refuses longer paths without touching the file system.
void checkPathLength(const std::string& action, const std::string& path) {
    if (path.size() > kMaxIndexPathBytes)
        throw Failure("cannot " + action + " " + printable(path.substr(0, 60)) + "...: path is " +
                      std::to_string(path.size()) + " bytes long; index files take at most " +
                      std::to_string(kMaxIndexPathBytes));
}

}  // namespace

IndexPtr loadIndex(const std::string& path) {
    checkPathLength("load", path);
    BinaryFile probe(path);  // names the reason when the file cannot be opened at all
    IndexPtr index(korvane_index_load_any(path.c_str()));
    if (!index)
        throw Failure(path + ": not a valid index file (the library refused to load it)");
    return index;
}

void saveIndex(const korvane_index* index, const std::string& path) {
    checkPathLength("save to", path);
    if (korvane_index_save(index, path.c_str()) != KORVANE_OK)
        throw Failure("cannot save the index to " + path +
                      " (missing directory, no permission or disk full)");
}

ContextPtr createContext(const korvane_index* index, std::uint64_t ef_search) {
    ContextPtr context(korvane_context_create(index, ef_search));
    if (!context) throw Failure("cannot create a search context: out of memory");
    return context;
}

void addAll(korvane_index* index, const std::vector<std::uint64_t>& ids, const VectorSet& vectors,
            std::uint64_t threads, const std::function<void(std::uint64_t)>& progress) {
    checkWidth(index, vectors, "the vectors");
    // The library refuses a whole batch for one vector it cannot normalise;
    // naming the vector is more use than a failed batch.
    if (korvane_index_metric(index) == KORVANE_METRIC_COSINE)
        for (std::uint64_t i = 0; i < vectors.count; ++i) {
            const float* row = vectors.row(i);
            if (std::all_of(row, row + vectors.dim, [](float x) { return x == 0.0f; }))
                throw Failure("vector " + std::to_string(i) +
                              " is all zero: it has no direction, so a cosine index cannot take it");
        }
    // One call, watched chunk by chunk: the index is the one add_batch makes.
    std::uint64_t added = 0;
    const auto report = [](void* user, std::uint64_t done, std::uint64_t) -> std::int32_t {
        (*static_cast<const std::function<void(std::uint64_t)>*>(user))(done);
        return 0;
    };
    const int32_t status = korvane_index_add_batch_progress(
        index, ids.data(), vectors.values.data(), vectors.count, workerCount(vectors.count, threads), report,
        const_cast<std::function<void(std::uint64_t)>*>(&progress), &added);
    if (status == KORVANE_DUPLICATE) throw Failure("an id is added twice or is already in the index");
    if (status != KORVANE_OK)
        throw Failure("adding vectors failed after " + std::to_string(added) + " of " + std::to_string(vectors.count) +
                      " (out of memory or no threads)");
}

SearchResults searchAll(const korvane_index* index, const VectorSet& queries, std::uint64_t k,
                        std::uint64_t ef_search, std::uint64_t threads, SearchChoice choice) {
    checkWidth(index, queries, "the queries");
    SearchResults results{k, std::vector<std::uint64_t>(queries.count * k),
                          std::vector<float>(queries.count * k),
                          std::vector<std::uint64_t>(queries.count)};
    // Fewer candidates than k would leave rows short that the index could fill.
    if (korvane_search_batch_walk(index, queries.values.data(), queries.count, k, std::max(ef_search, k),
                                  choice.rerank, choice.walk, workerCount(queries.count, threads),
                                  results.ids.data(), results.scores.data(), results.counts.data()) != KORVANE_OK)
        throw Failure("search failed (out of memory or no threads)");
    return results;
}

SearchResults searchOneByOne(const korvane_index* index, korvane_context* context, const VectorSet& queries,
                             std::uint64_t k) {
    checkWidth(index, queries, "the queries");
    SearchResults results{k, std::vector<std::uint64_t>(queries.count * k),
                          std::vector<float>(queries.count * k),
                          std::vector<std::uint64_t>(queries.count)};
    for (std::uint64_t q = 0; q < queries.count; ++q)
        results.counts[q] = korvane_search(index, context, queries.row(q), k, results.ids.data() + q * k,
                                           results.scores.data() + q * k);
    return results;
}

SearchResults searchAllFiltered(const korvane_index* index, const VectorSet& queries,
                                const std::vector<std::uint64_t>& allowed, std::uint64_t k,
                                std::uint64_t threads) {
    checkWidth(index, queries, "the queries");
    SearchResults results{k, std::vector<std::uint64_t>(queries.count * k),
                          std::vector<float>(queries.count * k),
                          std::vector<std::uint64_t>(queries.count)};
    std::vector<ContextPtr> contexts;
    for (std::uint64_t t = 0; t < workerCount(queries.count, threads); ++t)
        contexts.push_back(createContext(index, 1));
    parallelFor(queries.count, threads, [&](std::uint64_t worker, std::uint64_t begin,
                                            std::uint64_t end) {
        korvane_context* context = contexts[worker].get();
        for (std::uint64_t q = begin; q < end; ++q)
            results.counts[q] = korvane_search_filtered(
                index, context, queries.row(q), allowed.data(), allowed.size(), k,
                results.ids.data() + q * k, results.scores.data() + q * k);
    });
    return results;
}

std::vector<std::uint64_t> rowIds(std::uint64_t count) {
    std::vector<std::uint64_t> ids(count);
    for (std::uint64_t i = 0; i < count; ++i) ids[i] = i;
    return ids;
}

}  // namespace korvane::tool

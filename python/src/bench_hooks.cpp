#include "bench_hooks.h"

#include <chrono>
#include <new>
#include <vector>

#include "conversion.h"
#include "index_object.h"

namespace py = pybind11;

namespace korvane_py {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for korvane_search over every query on one context, in a C loop.
double searchLoop(IndexObject& object, py::handle queries, uint64_t k, uint64_t ef, uint64_t rerank) {
    const Rows rows = toRows(queries, "queries");
    std::vector<uint64_t> ids(k);
    std::vector<float> scores(k);
    py::gil_scoped_release released;
    ReadAccess access(object);
    PooledContext pooled(object.contexts, object.handle, ef, rerank);
    if (!pooled.context) throw std::bad_alloc();
    const Clock::time_point start = Clock::now();
    for (uint64_t q = 0; q < rows.count; ++q)
        korvane_search(object.handle, pooled.context, rows.array.data() + q * KORVANE_DIM, k, ids.data(),
                       scores.data());
    return secondsSince(start);
}

// Seconds for one korvane_search_batch_rerank call over all queries.
double searchBatch(IndexObject& object, py::handle queries, uint64_t k, uint64_t ef, uint64_t rerank,
                   uint64_t threads) {
    const Rows rows = toRows(queries, "queries");
    std::vector<uint64_t> ids(rows.count * k), counts(rows.count);
    std::vector<float> scores(rows.count * k);
    py::gil_scoped_release released;
    ReadAccess access(object);
    const Clock::time_point start = Clock::now();
    korvane_search_batch_rerank(object.handle, rows.array.data(), rows.count, k, ef, rerank, threads, ids.data(),
                                scores.data(), counts.data());
    return secondsSince(start);
}

}  // namespace

void bindBenchHooks(py::module_& module) {
    module.def("_c_search_loop", &searchLoop);
    module.def("_c_search_batch", &searchBatch);
}

}  // namespace korvane_py

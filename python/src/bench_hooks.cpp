#include "bench_hooks.h"

#include <time.h>

#include <new>
#include <vector>

#include "conversion.h"
#include "index_object.h"

namespace py = pybind11;

namespace korvane_py {
namespace {

// Wall-clock and process CPU seconds: on a loaded machine CPU time is the
// steadier measure of what a call costs.
struct Times {
    double wall, cpu;
};

Times now() {
    timespec wall{}, cpu{};
    clock_gettime(CLOCK_MONOTONIC, &wall);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return {wall.tv_sec + wall.tv_nsec * 1e-9, cpu.tv_sec + cpu.tv_nsec * 1e-9};
}

py::tuple since(Times start) {
    const Times end = now();
    return py::make_tuple(end.wall - start.wall, end.cpu - start.cpu);
}

// (wall, CPU) seconds of korvane_search over every query on one context, in a C loop.
py::tuple searchLoop(IndexObject& object, py::handle queries, uint64_t k, uint64_t ef, uint64_t rerank,
                     uint32_t walk) {
    const Rows rows = toRows(queries, "queries", object.dim, object.metric, false);
    std::vector<uint64_t> ids(k);
    std::vector<float> scores(k);
    Times start{};
    {
        py::gil_scoped_release released;
        ReadAccess access(object);
        PooledContext pooled(object.contexts, object.handle, ef, rerank, walk);
        if (!pooled.context) throw std::bad_alloc();
        start = now();
        for (uint64_t q = 0; q < rows.count; ++q)
            korvane_search(object.handle, pooled.context, rows.array.data() + q * rows.dim, k, ids.data(),
                           scores.data());
    }
    return since(start);
}

// (wall, CPU) seconds of one korvane_search_batch_walk call over all queries.
py::tuple searchBatch(IndexObject& object, py::handle queries, uint64_t k, uint64_t ef, uint64_t rerank,
                      uint32_t walk, uint64_t threads) {
    const Rows rows = toRows(queries, "queries", object.dim, object.metric, false);
    std::vector<uint64_t> ids(rows.count * k), counts(rows.count);
    std::vector<float> scores(rows.count * k);
    Times start{};
    {
        py::gil_scoped_release released;
        ReadAccess access(object);
        start = now();
        korvane_search_batch_walk(object.handle, rows.array.data(), rows.count, k, ef, rerank, walk, threads,
                                  ids.data(), scores.data(), counts.data());
    }
    return since(start);
}

}  // namespace

void bindBenchHooks(py::module_& module) {
    module.def("_c_search_loop", &searchLoop);
    module.def("_c_search_batch", &searchBatch);
}

}  // namespace korvane_py

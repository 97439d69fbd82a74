// Batch insertion and batch search against their single-threaded and
// one-by-one counterparts, on the same clustered data in one run. Wall-clock
// times where threads are compared; one-thread search rates use the
// thread's CPU time, as the sweeps do.
//   bench_batch [--n=100000] [--queries=1000] [--ef=128] [--search-only] ...
#include <cstring>

#include "api/handles.h"
#include "encoding/projection.h"
#include "index/query.h"
#include "index_harness.h"

namespace korvane::bench {
namespace {

double wallSeconds(std::chrono::steady_clock::time_point start) { return secondsSince(start); }

korvane_index* buildBatch(const Dataset& data, const std::vector<std::uint64_t>& ids, std::uint64_t threads,
                          double* seconds) {
    korvane_index* index = korvane_index_create(64, 1);
    const auto start = std::chrono::steady_clock::now();
    if (korvane_index_add_batch(index, ids.data(), data.vectors.data(), data.n, threads) != KORVANE_OK) {
        std::fprintf(stderr, "batch insertion failed\n");
        std::exit(1);
    }
    *seconds = wallSeconds(start);
    return index;
}

double recallOfBatch(const Dataset& data, const std::vector<std::uint64_t>& ids) {
    std::size_t hits = 0;
    for (std::size_t q = 0; q < data.queries; ++q) hits += hitsOf(data, q, ids.data() + q * kTopK, kTopK);
    return double(hits) / double(data.queries * kTopK);
}

double processSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Queries per wall-clock second of the fastest pass; `cpu_seconds`, when
// given, receives the CPU time all threads together spent in that pass.
double searchBatch(const Dataset& data, korvane_index* index, std::uint64_t ef, std::uint64_t threads,
                   std::size_t passes, double* recall, double* cpu_seconds = nullptr) {
    std::vector<std::uint64_t> ids(data.queries * kTopK), counts(data.queries);
    std::vector<float> scores(data.queries * kTopK);
    double best = 1e300;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const double cpu = processSeconds();
        const auto start = std::chrono::steady_clock::now();
        korvane_search_batch(index, data.query_vectors.data(), data.queries, kTopK, ef, threads, ids.data(),
                             scores.data(), counts.data());
        const double seconds = wallSeconds(start);
        if (seconds < best && cpu_seconds) *cpu_seconds = processSeconds() - cpu;
        best = std::min(best, seconds);
    }
    *recall = recallOfBatch(data, ids);
    return double(data.queries) / best;
}

// Nodes a query's base-layer walk visits, averaged over the queries; the
// batch visits exactly the same ones.
double visitedPerQuery(const Dataset& data, korvane_index* handle, std::uint64_t ef) {
    const Index& index = *fromHandle(handle);
    korvane_context* context_handle = korvane_context_create(handle, ef);
    SearchContext& context = *fromHandle(context_handle);
    double visited = 0;
    for (std::size_t q = 0; q < data.queries; ++q) {
        rotateVector(index.rotation, data.query(q), context.query_rotated);
        walkGraph(index, context, routeQuery(index, context));
        for (std::size_t w = 0; w < context.scratch.visited.wordCount(); ++w)
            visited += double(__builtin_popcountll(context.scratch.visited.words[w]));
    }
    korvane_context_destroy(context_handle);
    return visited / double(data.queries);
}

// The batch call against a loop of korvane_search on one thread, and two
// threads against one, at a few breadths.
void compareSearches(const Dataset& data, korvane_index* index, std::size_t passes) {
    std::printf("\n%-5s %10s %10s %7s %9s %9s %9s | %10s %10s %7s %8s\n", "ef", "loop q/s", "batch q/s", "ratio",
                "visited/q", "loop ns/n", "batch ns/n", "1 thr q/s", "2 thr q/s", "ratio", "cpu 2/1");
    for (const std::uint64_t ef : {16, 64, 128}) {
        const SweepPoint loop = sweepOurs(data, index, ef, passes);
        const SweepPoint batch = sweepOursBatch(data, index, ef, passes);
        double recall1 = 0, recall2 = 0, cpu1 = 0, cpu2 = 0;
        const double wall1 = searchBatch(data, index, ef, 1, passes, &recall1, &cpu1);
        const double wall2 = searchBatch(data, index, ef, 2, passes, &recall2, &cpu2);
        const double visited = visitedPerQuery(data, index, ef);
        std::printf("%-5llu %10.0f %10.0f %6.2fx %9.1f %9.2f %9.2f | %10.0f %10.0f %6.2fx %8.2f\n",
                    static_cast<unsigned long long>(ef), loop.qps, batch.qps, batch.qps / loop.qps, visited,
                    1e9 / loop.qps / visited, 1e9 / batch.qps / visited, wall1, wall2, wall2 / wall1, cpu2 / cpu1);
    }
    std::printf("loop and batch q/s: thread CPU time; ns/n: time per visited base-layer node;\n"
                "1 and 2 thr: wall clock of the batch call; cpu 2/1: CPU time of all threads with two\n"
                "threads over that with one (1.00 means the work splits at no cost; the wall-clock\n"
                "ratio then depends on two cores being free).\n");
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
    using namespace korvane::bench;
    // --search-only: build one index and compare the searches only.
    bool search_only = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--search-only") == 0) search_only = true;
        else argv[kept++] = argv[i];
    }
    Options options = parseOptions(kept, argv);
    const std::uint64_t ef = options.ef_search.size() == 1 ? options.ef_search[0] : 128;
    const Dataset data = makeDataset(options);
    std::vector<std::uint64_t> ids(data.n);
    for (std::size_t i = 0; i < data.n; ++i) ids[i] = i;
    std::printf("%zu clustered vectors, %zu queries, ef_construction 64, ef_search %llu\n", data.n, data.queries,
                static_cast<unsigned long long>(ef));

    double t1 = 0, t2 = 0;
    if (search_only) {
        korvane_index* index = buildBatch(data, ids, 2, &t2);
        compareSearches(data, index, options.passes);
        korvane_index_destroy(index);
        return 0;
    }
    korvane_index* one = buildBatch(data, ids, 1, &t1);
    korvane_index* two = buildBatch(data, ids, 2, &t2);
    const auto start = std::chrono::steady_clock::now();
    korvane_index* single = korvane_index_create(64, 1);
    for (std::size_t i = 0; i < data.n; ++i) korvane_index_add(single, i, data.vector(i));
    const double t_single = wallSeconds(start);

    const double recall_batch = sweepOurs(data, two, ef, 1).recall;
    const double recall_single = sweepOurs(data, single, ef, 1).recall;
    std::printf("\n%-34s %10s %12s %10s\n", "insertion", "seconds", "vectors/s", "recall@10");
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add, one by one", t_single, data.n / t_single, recall_single);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 1 thread", t1, data.n / t1, recall_batch);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 2 threads", t2, data.n / t2, recall_batch);

    double recall1 = 0, recall2 = 0;
    const double q1 = searchBatch(data, two, ef, 1, options.passes, &recall1);
    const double q2 = searchBatch(data, two, ef, 2, options.passes, &recall2);
    std::printf("\n%-34s %12s %10s\n", "search (k 10)", "queries/s", "recall@10");
    std::printf("%-34s %12.0f %10.4f\n", "korvane_search_batch, 1 thread", q1, recall1);
    std::printf("%-34s %12.0f %10.4f\n", "korvane_search_batch, 2 threads", q2, recall2);
    compareSearches(data, two, options.passes);

    std::printf("\nratios in this run:\n");
    std::printf("  add_batch 2 threads / 1 thread        %.2fx\n", t1 / t2);
    std::printf("  add_batch 1 thread / one-by-one add   %.2fx\n", t_single / t1);
    std::printf("  search_batch 2 threads / 1 thread     %.2fx\n", q2 / q1);
    korvane_index_destroy(one);
    korvane_index_destroy(two);
    korvane_index_destroy(single);
    return 0;
}

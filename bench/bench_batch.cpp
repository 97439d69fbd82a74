// Batch insertion and batch search against their single-threaded and
// one-by-one counterparts, on the same clustered data in one run. Wall-clock
// times: the point is how well two threads share the work.
//   bench_batch [--n=100000] [--queries=1000] [--ef=128] ...
#include "index_harness.h"

namespace korvane::bench {
namespace {

korvane_index* buildBatch(const Dataset& data, const std::vector<std::uint64_t>& ids, std::uint64_t threads,
                          double* seconds) {
    korvane_index* index = korvane_index_create(64, 1);
    const tool::Stopwatch clock;
    if (korvane_index_add_batch(index, ids.data(), data.base.values.data(), data.n(), threads) != KORVANE_OK) {
        std::fprintf(stderr, "batch insertion failed\n");
        std::exit(1);
    }
    *seconds = clock.seconds();
    return index;
}

// Queries/s and recall@10 of the batch search, wall-clock, fastest of `passes`.
SweepPoint searchBatch(const Dataset& data, korvane_index* index, std::uint64_t ef, std::uint64_t threads,
                       std::uint64_t passes) {
    return measureOurs(data, index, ef, threads, {passes, 0.0, tool::wallSeconds});
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
    using namespace korvane::bench;
    Options options = parseOptions(argc, argv);
    const std::uint64_t ef = options.ef_search.size() == 1 ? options.ef_search[0] : 128;
    const Dataset data = makeDataset(options);
    const std::vector<std::uint64_t> ids = korvane::tool::rowIds(data.n());
    std::printf("%zu clustered vectors, %llu queries, ef_construction 64, ef_search %llu\n", data.n(),
                static_cast<unsigned long long>(data.queries.count), static_cast<unsigned long long>(ef));

    double t1 = 0, t2 = 0;
    korvane_index* one = buildBatch(data, ids, 1, &t1);
    korvane_index* two = buildBatch(data, ids, 2, &t2);
    const korvane::tool::Stopwatch clock;
    korvane_index* single = korvane_index_create(64, 1);
    for (std::size_t i = 0; i < data.n(); ++i) korvane_index_add(single, i, data.base.row(i));
    const double t_single = clock.seconds();

    const double recall_batch = sweepOurs(data, two, ef, 1).recall;
    const double recall_single = sweepOurs(data, single, ef, 1).recall;
    const double n = double(data.n());
    std::printf("\n%-34s %10s %12s %10s\n", "insertion", "seconds", "vectors/s", "recall@10");
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add, one by one", t_single, n / t_single, recall_single);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 1 thread", t1, n / t1, recall_batch);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 2 threads", t2, n / t2, recall_batch);

    const SweepPoint s1 = searchBatch(data, two, ef, 1, options.passes);
    const SweepPoint s2 = searchBatch(data, two, ef, 2, options.passes);
    std::printf("\n%-34s %12s %10s\n", "search (k 10)", "queries/s", "recall@10");
    std::printf("%-34s %12.0f %10.4f\n", "korvane_search_batch, 1 thread", s1.queries_per_second, s1.recall);
    std::printf("%-34s %12.0f %10.4f\n", "korvane_search_batch, 2 threads", s2.queries_per_second, s2.recall);

    std::printf("\nratios in this run:\n");
    std::printf("  add_batch 2 threads / 1 thread        %.2fx\n", t1 / t2);
    std::printf("  add_batch 1 thread / one-by-one add   %.2fx\n", t_single / t1);
    std::printf("  search_batch 2 threads / 1 thread     %.2fx\n", s2.queries_per_second / s1.queries_per_second);
    korvane_index_destroy(one);
    korvane_index_destroy(two);
    korvane_index_destroy(single);
    return 0;
}

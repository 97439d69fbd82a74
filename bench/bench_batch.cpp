// Batch insertion and batch search against their single-threaded and
// one-by-one counterparts, on the same clustered data in one run. Wall-clock
// times where threads are compared; one-thread search rates use the
// thread's CPU time, as the sweeps do.
//   bench_batch [--n=100000] [--queries=1000] [--ef=128] [--search-only | --insert-only] ...
#include <cstring>

#include "api/handles.h"
#include "encoding/projection.h"
#include "index/batch.h"
#include "index/query.h"
#include "index/scored_walk.h"
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

// Batch insertion with 1 and 2 threads, fastest of `passes` builds each,
// and where the one-thread build's time goes: the serial share bounds what
// more threads can give (Amdahl).
void compareInsertions(const Dataset& data, const std::vector<std::uint64_t>& ids, std::size_t passes) {
    BatchProfile one{}, two{};
    for (std::size_t pass = 0; pass < passes; ++pass) {
        for (const std::uint64_t threads : {1, 2}) {
            korvane_index* handle = korvane_index_create(64, 1);
            BatchProfile profile;
            if (addBatch(*fromHandle(handle), ids.data(), data.base.values.data(), data.n(), threads, &profile) !=
                Error::Ok) {
                std::fprintf(stderr, "batch insertion failed\n");
                std::exit(1);
            }
            korvane_index_destroy(handle);
            BatchProfile& best = threads == 1 ? one : two;
            if (pass == 0 || profile.total_seconds < best.total_seconds) best = profile;
        }
    }
    const double serial = one.total_seconds - one.planning_seconds - one.linking_back_seconds;
    const double fraction = serial / one.total_seconds;
    std::printf("\nadd_batch, fastest of %zu builds each\n", passes);
    std::printf("  1 thread   %8.3f s  (planning %.1f%%, link-backs %.1f%%, serial %.2f%%)\n", one.total_seconds,
                100 * one.planning_seconds / one.total_seconds, 100 * one.linking_back_seconds / one.total_seconds,
                100 * fraction);
    std::printf("  2 threads  %8.3f s  speed-up %.2fx\n", two.total_seconds, one.total_seconds / two.total_seconds);
    std::printf("  speed-up the serial share allows:");
    for (const double threads : {2.0, 4.0, 8.0, 16.0})
        std::printf("  %.0f threads %.2fx", threads, 1 / (fraction + (1 - fraction) / threads));
    std::printf("\n");
}

double processSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Queries per wall-clock second of the fastest pass; `cpu_seconds`, when
// given, receives the CPU time all threads together spent in that pass.
double searchBatch(const Dataset& data, korvane_index* index, std::uint64_t ef, std::uint64_t threads,
                   std::size_t passes, double* recall, double* cpu_seconds = nullptr,
                   std::uint32_t walk = KORVANE_WALK_HAMMING) {
    tool::SearchResults results;
    double best = 1e300;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const double cpu = processSeconds();
        const tool::Stopwatch clock;
        results = tool::searchAll(index, data.queries, kTopK, ef, threads, tool::SearchChoice{tool::kDefaultRerank, walk});
        const double seconds = clock.seconds();
        if (seconds < best && cpu_seconds) *cpu_seconds = processSeconds() - cpu;
        best = std::min(best, seconds);
    }
    *recall = tool::recallAtK(results, data.truth, kTopK);
    return double(data.queries.count) / best;
}

// Nodes a query's base-layer walk visits, averaged over the queries; the
// batch visits exactly the same ones.
double visitedPerQuery(const Dataset& data, korvane_index* handle, std::uint64_t ef, std::uint32_t walk) {
    const Index& index = *fromHandle(handle);
    korvane_context* context_handle = korvane_context_create(handle, ef);
    SearchContext& context = *fromHandle(context_handle);
    double visited = 0;
    for (std::size_t q = 0; q < data.queries.count; ++q) {
        rotateVector(index.rotation, data.queries.row(q), context.query_rotated);
        if (walk == KORVANE_WALK_SCORED) {
            ScoredWalk scored;
            readyToSearch(index, context, kTopK);
            beginScoredWalk(index, context, scored);
            while (stepScoredWalk(index, context, scored)) {
            }
        } else {
            walkGraph(index, context, routeQuery(index, context));
        }
        for (std::size_t w = 0; w < context.scratch.visited.wordCount(); ++w)
            visited += double(__builtin_popcountll(context.scratch.visited.words[w]));
    }
    korvane_context_destroy(context_handle);
    return visited / double(data.queries.count);
}

// The batch call against a loop of korvane_search on one thread, and two
// threads against one, at a few breadths, for each walk.
void compareSearches(const Dataset& data, korvane_index* index, std::size_t passes) {
    std::printf("\n%-7s %-5s %10s %10s %7s %9s %9s %9s | %10s %10s %7s %8s\n", "walk", "ef", "loop q/s", "batch q/s",
                "ratio", "visited/q", "loop ns/n", "batch ns/n", "1 thr q/s", "2 thr q/s", "ratio", "cpu 2/1");
    for (const std::uint32_t walk : {KORVANE_WALK_HAMMING, KORVANE_WALK_SCORED})
    for (const std::uint64_t ef : {16, 64, 128}) {
        const SweepPoint loop = sweepOurs(data, index, ef, passes, tool::kDefaultRerank, walk);
        const SweepPoint batch = sweepOursBatch(data, index, ef, passes, walk);
        double recall1 = 0, recall2 = 0, cpu1 = 0, cpu2 = 0;
        const double wall1 = searchBatch(data, index, ef, 1, passes, &recall1, &cpu1, walk);
        const double wall2 = searchBatch(data, index, ef, 2, passes, &recall2, &cpu2, walk);
        const double visited = visitedPerQuery(data, index, ef, walk);
        std::printf("%-7s %-5llu %10.0f %10.0f %6.2fx %9.1f %9.2f %9.2f | %10.0f %10.0f %6.2fx %8.2f\n",
                    walk == KORVANE_WALK_SCORED ? "scored" : "hamming", static_cast<unsigned long long>(ef),
                    loop.queries_per_second, batch.queries_per_second,
                    batch.queries_per_second / loop.queries_per_second, visited, 1e9 / loop.queries_per_second / visited,
                    1e9 / batch.queries_per_second / visited, wall1, wall2, wall2 / wall1, cpu2 / cpu1);
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
    // --search-only: build one index and compare the searches only;
    // --insert-only: compare batch insertion on 1 and 2 threads only.
    bool search_only = false, insert_only = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--search-only") == 0) search_only = true;
        else if (std::strcmp(argv[i], "--insert-only") == 0) insert_only = true;
        else argv[kept++] = argv[i];
    }
    Options options = parseOptions(kept, argv);
    const std::uint64_t ef = options.ef_search.size() == 1 ? options.ef_search[0] : 128;
    const Dataset data = makeDataset(options);
    const std::vector<std::uint64_t> ids = korvane::tool::rowIds(data.n());
    std::printf("%zu clustered vectors, %llu queries, ef_construction 64, ef_search %llu\n", data.n(),
                static_cast<unsigned long long>(data.queries.count), static_cast<unsigned long long>(ef));

    double t1 = 0, t2 = 0;
    if (insert_only) {
        compareInsertions(data, ids, options.passes);
        return 0;
    }
    if (search_only) {
        korvane_index* index = buildBatch(data, ids, 2, &t2);
        compareSearches(data, index, options.passes);
        korvane_index_destroy(index);
        return 0;
    }
    korvane_index* one = buildBatch(data, ids, 1, &t1);
    korvane_index* two = buildBatch(data, ids, 2, &t2);
    const korvane::tool::Stopwatch clock;
    korvane_index* single = korvane_index_create(64, 1);
    for (std::size_t i = 0; i < data.n(); ++i) korvane_index_add(single, i, data.base.row(i));
    const double t_single = clock.seconds();

    const double recall_batch = sweepOurs(data, two, ef, 1).recall;
    const double recall_single = sweepOurs(data, single, ef, 1).recall;
    std::printf("\n%-34s %10s %12s %10s\n", "insertion", "seconds", "vectors/s", "recall@10");
    const double n = double(data.n());
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add, one by one", t_single, n / t_single, recall_single);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 1 thread", t1, n / t1, recall_batch);
    std::printf("%-34s %10.2f %12.0f %10.4f\n", "korvane_index_add_batch, 2 threads", t2, n / t2, recall_batch);

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

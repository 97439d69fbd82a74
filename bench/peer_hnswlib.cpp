// Peer comparison against hnswlib (inner product space, M 16,
// ef_construction 200) on the same clustered vectors and queries, all in one
// run on one thread: insertion rate, queries/s and recall@10 along ef sweeps,
// bytes per vector, and the ratios
//   - our queries/s at recall@10 0.95 over hnswlib's (interpolated along both sweeps),
//   - our insertion rate at ef_construction 64 over hnswlib's,
//   - our bytes per vector over hnswlib's,
//   - with float copies and every candidate re-scored, our queries/s at
//     recall@10 0.99 over hnswlib's.
// Built only when the hnswlib headers are installed. Flags: see index_harness.h.
#include <hnswlib/hnswlib.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "index_harness.h"

namespace korvane::bench {
namespace {

constexpr std::size_t kPeerM = 16;
constexpr std::size_t kPeerEfConstruction = 200;

struct PeerBuild {
    hnswlib::InnerProductSpace space{kDim};
    hnswlib::HierarchicalNSW<float>* index = nullptr;
    double seconds = 0;
    ~PeerBuild() { delete index; }
};

void buildPeer(const Dataset& data, std::uint64_t seed, PeerBuild& build) {
    build.index = new hnswlib::HierarchicalNSW<float>(&build.space, data.n(), kPeerM, kPeerEfConstruction, seed);
    const double start = tool::threadSeconds();
    for (std::size_t i = 0; i < data.n(); ++i) build.index->addPoint(data.base.row(i), i);
    build.seconds = tool::threadSeconds() - start;
}

// Bytes that hnswlib holds per element: its level-0 block (links, vector,
// label), the upper-layer link blocks, and the per-element link pointer,
// level and lock. The label hash map is left out, so this is a lower bound.
double peerBytesPerVector(const hnswlib::HierarchicalNSW<float>& index) {
    double total = double(index.max_elements_) * double(index.size_data_per_element_);
    for (std::size_t i = 0; i < index.cur_element_count; ++i)
        total += double(index.element_levels_[i]) * double(index.size_links_per_element_);
    total += double(index.max_elements_) * double(sizeof(void*) + sizeof(int) + sizeof(std::mutex));
    return total / double(index.cur_element_count);
}

// hnswlib hands its results out worst first.
tool::SearchResults searchPeer(const Dataset& data, hnswlib::HierarchicalNSW<float>& index) {
    const std::uint64_t queries = data.queries.count;
    tool::SearchResults results{kTopK, std::vector<std::uint64_t>(queries * kTopK), std::vector<float>(queries * kTopK),
                                std::vector<std::uint64_t>(queries)};
    for (std::size_t q = 0; q < queries; ++q) {
        auto found = index.searchKnn(data.queries.row(q), kTopK);
        results.counts[q] = found.size();
        for (std::size_t r = found.size(); r > 0; --r) {
            results.ids[q * kTopK + r - 1] = found.top().second;
            found.pop();
        }
    }
    return results;
}

SweepPoint sweepPeer(const Dataset& data, hnswlib::HierarchicalNSW<float>& index, std::uint64_t ef,
                     std::uint64_t passes) {
    index.setEf(ef);
    return tool::measurePoint(ef, data.truth, kTopK, singleThreadTiming(passes),
                              [&] { return searchPeer(data, index); });
}

void printRatio(const char* what, double ours, double peer, double target, bool higher_is_better) {
    if (ours <= 0 || peer <= 0) {
        std::printf("  %-44s   n/a (a sweep does not reach the recall level)\n", what);
        return;
    }
    const double ratio = ours / peer;
    const bool met = higher_is_better ? ratio >= target : ratio < target;
    std::printf("  %-44s %8.2fx  (ours %.0f, hnswlib %.0f; target %s %.1fx: %s)\n", what, ratio, ours, peer,
                higher_is_better ? ">=" : "<", target, met ? "met" : "NOT met");
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
    using namespace korvane::bench;
    Options options = parseOptions(argc, argv);
    printSetting(options);
    const korvane::tool::Stopwatch clock;
    const Dataset data = makeDataset(options);
    std::printf("data and exact top-10 ready in %.1f s\n\n", clock.seconds());

    const OurBuild ours64 = buildOurs(data, 64, options.setup.seed);
    const OurBuild ours200 = buildOurs(data, 200, options.setup.seed);
    const OurBuild ours_f32 = buildOurs(data, 200, options.setup.seed, KORVANE_STORE_F32);
    PeerBuild peer;
    buildPeer(data, options.setup.seed, peer);
    const double our_bytes = bytesPerVector(ours64.index, data.n());
    const double our_bytes_filled = bytesPerVectorWithoutHeadroom(ours64.index, data.n());
    const double peer_bytes = peerBytesPerVector(*peer.index);

    std::printf("single-thread insertion\n  %-34s %10s %12s %14s\n", "", "seconds", "vectors/s", "bytes/vector");
    std::printf("  %-34s %10.2f %12.0f %14.1f\n", "korvane, ef_construction 64", ours64.seconds, ours64.rate(),
                our_bytes);
    std::printf("  %-34s %10.2f %12.0f %14.1f\n", "korvane, ef_construction 200", ours200.seconds,
                ours200.rate(), bytesPerVector(ours200.index, data.n()));
    std::printf("  %-34s %10.2f %12.0f %14.1f\n\n", "hnswlib, M 16, ef_construction 200", peer.seconds,
                double(data.n()) / peer.seconds, peer_bytes);

    std::vector<SweepPoint> sweep64, sweep200, batch200, sweep_f32, peer_sweep;
    for (const std::uint64_t ef : options.ef_search) {
        sweep64.push_back(sweepOurs(data, ours64.index, ef, options.passes));
        sweep200.push_back(sweepOurs(data, ours200.index, ef, options.passes));
        batch200.push_back(sweepOursBatch(data, ours200.index, ef, options.passes));
        sweep_f32.push_back(sweepOurs(data, ours_f32.index, ef, options.passes, 0));
        peer_sweep.push_back(sweepPeer(data, *peer.index, ef, options.passes));
    }
    printSweep("korvane, ef_construction 64 index", sweep64);
    printSweep("korvane, ef_construction 200 index", sweep200);
    printSweep("korvane, ef_construction 200 index, all queries in one batch call (1 thread)", batch200);
    printSweep("korvane, ef_construction 200 index, float copies, every candidate re-scored", sweep_f32);
    printSweep("hnswlib, M 16, ef_construction 200 (ef below 10 acts as 10)", peer_sweep);

    std::printf("\nratios (ours / hnswlib, this run)\n");
    printRatio("queries/s at recall@10 0.95, efc 200 index", qpsAtRecall(sweep200, 0.95),
               qpsAtRecall(peer_sweep, 0.95), 1.2, true);
    printRatio("queries/s at recall@10 0.95, efc 64 index", qpsAtRecall(sweep64, 0.95),
               qpsAtRecall(peer_sweep, 0.95), 1.2, true);
    printRatio("queries/s at recall@10 0.95, efc 200, batch call", qpsAtRecall(batch200, 0.95),
               qpsAtRecall(peer_sweep, 0.95), 1.2, true);
    printRatio("queries/s at recall@10 0.99, f32, rerank 0", qpsAtRecall(sweep_f32, 0.99),
               qpsAtRecall(peer_sweep, 0.99), 0.8, true);
    printRatio("insertion rate, ours at efc 64", ours64.rate(), double(data.n()) / peer.seconds, 3.0, true);
    printRatio("bytes per vector", our_bytes, peer_bytes, 1.0, false);
    printRatio("bytes per vector, our growth headroom left out", our_bytes_filled, peer_bytes, 1.0, false);
    std::printf("  (our bytes: korvane_index_memory_bytes / n; the second figure leaves out the spare\n"
                "   capacity of our per-node arrays, which grow by half when full, as hnswlib is sized\n"
                "   for exactly n; hnswlib's: level-0 block + upper links + per-element pointer, level\n"
                "   and lock, label map left out)\n");

    korvane_index_destroy(ours64.index);
    korvane_index_destroy(ours200.index);
    korvane_index_destroy(ours_f32.index);
    return 0;
}

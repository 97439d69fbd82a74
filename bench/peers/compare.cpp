// Side-by-side comparison of korvane with peer libraries on one data set:
// build time with 1 and 2 threads, saved bytes per vector, and single-thread
// queries/s and recall@10 over a sweep of search breadths.
// Built and run by run.sh; not part of the normal build.
#include <faiss/IndexFlat.h>
#include <faiss/IndexHNSW.h>
#include <faiss/IndexIVFPQ.h>
#include <faiss/index_io.h>
#include <hnswlib/hnswlib.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "cli_error.h"
#include "dataset.h"
#include "ground_truth.h"
#include "korvane.h"
#include "stopwatch.h"
#include "vector_io.h"

using namespace korvane::tool;

namespace {

constexpr std::uint64_t kK = 10;
const std::vector<std::uint64_t> kEfSweep = {16, 32, 64, 128, 256};
const std::vector<std::uint64_t> kProbeSweep = {1, 4, 16, 64};

struct Data {
    std::string name;
    VectorSet base;
    VectorSet queries;
    std::vector<std::vector<std::uint64_t>> truth;  // row numbers, best first
};

struct Point {
    std::string ef;
    double queries_per_second;
    double recall;
};

struct Row {
    std::string library, configuration;
    double build_1 = 0, build_2 = 0, bytes_per_vector = 0;
    std::vector<Point> points;
};

// What the comparison needs from each library: build, save, and a search of
// all queries on one thread in the library's own way (one call per query, or
// one batch call where the library is made for batches), writing k ids each.
struct Peer {
    std::string library, configuration;
    std::function<void(const Data&, int threads)> build;
    std::function<void(const std::string& path)> save;
    std::function<void(std::uint64_t breadth)> set_breadth;
    std::function<void(const VectorSet& queries, std::uint64_t* ids)> search_all;
    std::vector<std::uint64_t> breadths;  // empty: exact, one point
};

std::string scratchPath(const std::string& name) {
    return (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") + "/korvane-peers-" +
           std::to_string(getpid()) + "-" + name;
}

double fileBytes(const std::string& path) {
    struct stat info {};
    const double bytes = stat(path.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0;
    unlink(path.c_str());
    return bytes;
}

double recallOf(const std::vector<std::uint64_t>& found, const Data& data) {
    double sum = 0;
    for (std::uint64_t q = 0; q < data.queries.count; ++q) {
        std::uint64_t hits = 0;
        for (std::uint64_t i = 0; i < kK; ++i)
            for (std::uint64_t t = 0; t < kK && t < data.truth[q].size(); ++t)
                hits += found[q * kK + i] == data.truth[q][t];
        sum += static_cast<double>(hits) / kK;
    }
    return sum / data.queries.count;
}

Point measure(Peer& peer, const Data& data, const std::string& label) {
    std::vector<std::uint64_t> found(data.queries.count * kK, ~0ull);
    omp_set_num_threads(1);
    Stopwatch clock;
    peer.search_all(data.queries, found.data());
    const double seconds = clock.seconds();
    return {label, data.queries.count / seconds, recallOf(found, data)};
}

double timedBuild(Peer& peer, const Data& data, int threads) {
    omp_set_num_threads(threads);
    Stopwatch clock;
    peer.build(data, threads);
    return clock.seconds();
}

Row runPeer(Peer peer, const Data& data) {
    std::fprintf(stderr, "  %s %s ...\n", peer.library.c_str(), peer.configuration.c_str());
    Row row{peer.library, peer.configuration};
    row.build_1 = timedBuild(peer, data, 1);
    row.build_2 = timedBuild(peer, data, 2);
    const std::string path = scratchPath("index");
    peer.save(path);
    row.bytes_per_vector = fileBytes(path) / data.base.count;
    if (peer.breadths.empty()) row.points.push_back(measure(peer, data, "-"));
    for (std::uint64_t breadth : peer.breadths) {
        peer.set_breadth(breadth);
        row.points.push_back(measure(peer, data, std::to_string(breadth)));
    }
    return row;
}

// ---- korvane -----------------------------------------------------------------

Peer korvanePeer() {
    struct State {
        korvane_index* index = nullptr;
        korvane_context* context = nullptr;
        ~State() { korvane_context_destroy(context); korvane_index_destroy(index); }
    };
    auto state = std::make_shared<State>();
    Peer peer{"korvane", "ef_construction 200, int8 re-scoring"};
    peer.build = [state](const Data& data, int threads) {
        korvane_index_destroy(state->index);
        state->index = korvane_index_create(200, 1);
        std::vector<std::uint64_t> ids(data.base.count);
        for (std::uint64_t i = 0; i < ids.size(); ++i) ids[i] = i;
        if (!state->index || korvane_index_add_batch(state->index, ids.data(), data.base.values.data(),
                                                     data.base.count, threads) != KORVANE_OK)
            throw Failure("korvane build failed");
    };
    peer.save = [state](const std::string& path) { korvane_index_save(state->index, path.c_str()); };
    peer.set_breadth = [state](std::uint64_t ef) {
        korvane_context_destroy(state->context);
        state->context = korvane_context_create(state->index, ef);
    };
    peer.search_all = [state](const VectorSet& queries, std::uint64_t* ids) {
        float scores[kK];
        for (std::uint64_t q = 0; q < queries.count; ++q)
            korvane_search(state->index, state->context, queries.row(q), kK, ids + q * kK, scores);
    };
    peer.breadths = kEfSweep;
    return peer;
}

// ---- hnswlib -----------------------------------------------------------------

Peer hnswlibPeer() {
    struct State {
        hnswlib::InnerProductSpace space{kDim};
        std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
    };
    auto state = std::make_shared<State>();
    Peer peer{"hnswlib", "inner product, M 16, ef_construction 200"};
    peer.build = [state](const Data& data, int threads) {
        state->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(&state->space, data.base.count, 16, 200, 1);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (std::uint64_t i = t; i < data.base.count; i += threads)
                    state->index->addPoint(data.base.row(i), i);
            });
        for (std::thread& thread : pool) thread.join();
    };
    peer.save = [state](const std::string& path) { state->index->saveIndex(path); };
    peer.set_breadth = [state](std::uint64_t ef) { state->index->setEf(ef); };
    peer.search_all = [state](const VectorSet& queries, std::uint64_t* ids) {
        for (std::uint64_t q = 0; q < queries.count; ++q) {
            auto found = state->index->searchKnn(queries.row(q), kK);
            for (std::uint64_t r = found.size(); r > 0; --r) {
                ids[q * kK + r - 1] = found.top().second;
                found.pop();
            }
        }
    };
    peer.breadths = kEfSweep;
    return peer;
}

// ---- FAISS -------------------------------------------------------------------

using IndexFactory = std::function<std::unique_ptr<faiss::Index>(const Data&)>;

Peer faissPeer(const std::string& configuration, IndexFactory make,
               std::function<void(faiss::Index*, std::uint64_t)> set_breadth,
               std::vector<std::uint64_t> breadths) {
    auto index = std::make_shared<std::unique_ptr<faiss::Index>>();
    Peer peer{"FAISS", configuration};
    peer.build = [index, make](const Data& data, int) {
        *index = make(data);
        if (!(*index)->is_trained) (*index)->train(data.base.count, data.base.values.data());
        (*index)->add(data.base.count, data.base.values.data());
    };
    peer.save = [index](const std::string& path) { faiss::write_index(index->get(), path.c_str()); };
    peer.set_breadth = [index, set_breadth](std::uint64_t b) { set_breadth(index->get(), b); };
    peer.search_all = [index](const VectorSet& queries, std::uint64_t* ids) {
        std::vector<float> distances(queries.count * kK);
        std::vector<faiss::Index::idx_t> labels(queries.count * kK);
        (*index)->search(queries.count, queries.values.data(), kK, distances.data(), labels.data());
        for (std::uint64_t i = 0; i < labels.size(); ++i) ids[i] = static_cast<std::uint64_t>(labels[i]);
    };
    peer.breadths = std::move(breadths);
    return peer;
}

void setHnswEf(faiss::Index* index, std::uint64_t ef) {
    static_cast<faiss::IndexHNSW*>(index)->hnsw.efSearch = static_cast<int>(ef);
}

std::vector<Peer> faissPeers(std::uint64_t count) {
    const std::uint64_t nlist = std::max<std::uint64_t>(16, std::min<std::uint64_t>(1024, count / 100));
    std::vector<Peer> peers;
    peers.push_back(faissPeer("HNSW flat, M 32, ef_construction 200", [](const Data&) {
        auto index = std::make_unique<faiss::IndexHNSWFlat>(kDim, 32, faiss::METRIC_INNER_PRODUCT);
        index->hnsw.efConstruction = 200;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, setHnswEf, kEfSweep));
    peers.push_back(faissPeer("HNSW SQ8, M 32, ef_construction 200", [](const Data&) {
        auto index = std::make_unique<faiss::IndexHNSWSQ>(kDim, faiss::ScalarQuantizer::QT_8bit, 32,
                                                          faiss::METRIC_INNER_PRODUCT);
        index->hnsw.efConstruction = 200;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, setHnswEf, kEfSweep));
    peers.push_back(faissPeer("IVF" + std::to_string(nlist) + ",PQ32x8 (ef = nprobe)", [nlist](const Data&) {
        auto* quantizer = new faiss::IndexFlatIP(kDim);
        auto index = std::make_unique<faiss::IndexIVFPQ>(quantizer, kDim, nlist, 32, 8, faiss::METRIC_INNER_PRODUCT);
        index->own_fields = true;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, [](faiss::Index* index, std::uint64_t probes) {
        static_cast<faiss::IndexIVFPQ*>(index)->nprobe = probes;
    }, kProbeSweep));
    peers.push_back(faissPeer("flat (exact)", [](const Data&) {
        return std::unique_ptr<faiss::Index>(std::make_unique<faiss::IndexFlatIP>(kDim));
    }, [](faiss::Index*, std::uint64_t) {}, {}));
    return peers;
}

// ---- data and output ---------------------------------------------------------

Data loadData(const Args& args) {
    Data data;
    const std::uint64_t count = args.count("--count");
    const std::uint64_t queries = args.count("--queries");
    if (const auto base = args.value("--base")) {
        data.name = *base;
        data.base = readVectors(*base);
        data.queries = args.value("--query-file") ? readVectors(*args.value("--query-file")) : VectorSet{};
        if (data.queries.count == 0) {  // hold the last rows out as queries
            const std::uint64_t held = std::min(queries, data.base.count / 10);
            data.base.count -= held;
            data.queries = {held, std::vector<float>(data.base.values.end() - held * kDim, data.base.values.end())};
            data.base.values.resize(data.base.count * kDim);
        }
    } else {
        ClusteredSetup setup;
        setup.base_count = count;
        setup.query_count = queries;
        const ClusteredData generated = generateClustered(setup, 2);
        data = {"built-in clustered set (korvane demo)", generated.base, generated.queries, {}};
    }
    data.truth = exactTopK(data.base, data.queries, kK, std::thread::hardware_concurrency());
    return data;
}

void printRows(const std::vector<Row>& rows, const Data& data) {
    std::printf("data: %s, %llu vectors, %llu queries, k = %llu\n\n", data.name.c_str(),
                static_cast<unsigned long long>(data.base.count),
                static_cast<unsigned long long>(data.queries.count), static_cast<unsigned long long>(kK));
    std::printf("| library | configuration | build s (1 thr) | build s (2 thr) | bytes/vector | ef | queries/s (1 thr) | recall@10 |\n");
    std::printf("|---|---|--:|--:|--:|--:|--:|--:|\n");
    for (const Row& row : rows)
        for (std::size_t i = 0; i < row.points.size(); ++i) {
            const Point& p = row.points[i];
            if (i == 0)
                std::printf("| %s | %s | %.1f | %.1f | %.0f ", row.library.c_str(),
                            row.configuration.c_str(), row.build_1, row.build_2, row.bytes_per_vector);
            else
                std::printf("| | | | | ");
            std::printf("| %s | %.0f | %.4f |\n", p.ef.c_str(), p.queries_per_second, p.recall);
        }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<OptionRule> rules = {
            countRule("--count", "vectors of the built-in set", 1000, 1ull << 26, 100000),
            countRule("--queries", "queries", 1, 1ull << 20, 1000),
            textRule("--base", "FILE", "base vectors from FILE.fvecs instead of the built-in set"),
            textRule("--query-file", "FILE", "queries from FILE.fvecs", "the last rows of --base held out"),
            textRule("--only", "NAME", "run one library only")};
        const Args args = parseArgs(Words(argv + 1, argv + argc), rules);
        if (args.has("--help")) {
            std::printf("usage: compare [options]\n\noptions:\n%s", optionsHelp(rules).c_str());
            return 0;
        }
        const Data data = loadData(args);
        std::vector<Peer> peers = {korvanePeer(), hnswlibPeer()};
        for (Peer& peer : faissPeers(data.base.count)) peers.push_back(std::move(peer));
        std::vector<Row> rows;
        const std::string only = args.value("--only").value_or("");
        for (Peer& peer : peers)
            if (only.empty() || peer.library == only) rows.push_back(runPeer(std::move(peer), data));
        printRows(rows, data);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "compare: %s\n", error.what());
        return 1;
    }
}

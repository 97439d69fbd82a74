// Side-by-side comparison of korvane with peer libraries on one data set:
// build time with 1 and 2 threads, saved and resident bytes per vector,
// single-thread queries/s and recall@10 over a sweep of search breadths, and
// per configuration the recall ceiling and the queries/s at recall 0.95 and
// 0.99 against hnswlib's at the same recall. korvane runs with each raw-copy
// store and with the default and the full re-score depth.
// Built and run by run.sh; not part of the normal build.
#include <faiss/IndexFlat.h>
#include <faiss/IndexHNSW.h>
#include <faiss/IndexIVFPQ.h>
#include <faiss/index_io.h>
#include <hnswlib/hnswlib.h>
#include <malloc.h>
#include <omp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
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
const std::vector<std::uint64_t> kEfSweep = {16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512};
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
    double build_1 = 0, build_2 = 0, bytes_per_vector = 0, resident_per_vector = 0;
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
    // Settings swept on the same build, one row each (korvane's re-score
    // factor); empty: one row.
    std::function<void(std::uint64_t setting)> apply_setting;
    std::vector<std::pair<std::uint64_t, std::string>> settings;
};

// Resident set size of this process now, from /proc/self/statm.
double residentBytes() {
    std::ifstream statm("/proc/self/statm");
    double total_pages = 0, resident_pages = 0;
    statm >> total_pages >> resident_pages;
    return resident_pages * static_cast<double>(sysconf(_SC_PAGESIZE));
}

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

// CPU time of the calling thread: on a shared, oversubscribed machine the
// time spent waiting for a core would otherwise swamp the figures. Every
// search runs on the calling thread (one OpenMP thread).
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The fastest of three passes over the queries (the results do not change).
Point measure(Peer& peer, const Data& data, const std::string& label) {
    std::vector<std::uint64_t> found(data.queries.count * kK, ~0ull);
    omp_set_num_threads(1);
    double best = 1e300;
    for (int pass = 0; pass < 3; ++pass) {
        const double start = threadSeconds();
        peer.search_all(data.queries, found.data());
        best = std::min(best, threadSeconds() - start);
    }
    return {label, data.queries.count / best, recallOf(found, data)};
}

double timedBuild(Peer& peer, const Data& data, int threads) {
    omp_set_num_threads(threads);
    Stopwatch clock;
    peer.build(data, threads);
    return clock.seconds();
}

void sweepBreadths(Peer& peer, const Data& data, Row& row) {
    if (peer.breadths.empty()) row.points.push_back(measure(peer, data, "-"));
    for (std::uint64_t breadth : peer.breadths) {
        peer.set_breadth(breadth);
        row.points.push_back(measure(peer, data, std::to_string(breadth)));
    }
}

// Resident bytes: the growth of the process over the one-thread build, the
// first build of the peer (the previous peer's index is gone by then, and
// main() makes every large block a mapping of its own that goes back to the
// system when freed, so the growth is what the index holds).
std::vector<Row> runPeer(Peer peer, const Data& data) {
    std::fprintf(stderr, "  %s %s ...\n", peer.library.c_str(), peer.configuration.c_str());
    Row base{peer.library, peer.configuration};
    const double resident_before = residentBytes();
    base.build_1 = timedBuild(peer, data, 1);
    base.resident_per_vector = (residentBytes() - resident_before) / data.base.count;
    base.build_2 = timedBuild(peer, data, 2);
    const std::string path = scratchPath("index");
    peer.save(path);
    base.bytes_per_vector = fileBytes(path) / data.base.count;
    if (peer.settings.empty()) {
        sweepBreadths(peer, data, base);
        return {base};
    }
    std::vector<Row> rows;
    for (const auto& [setting, label] : peer.settings) {
        Row row = base;
        row.configuration += ", " + label;
        peer.apply_setting(setting);
        sweepBreadths(peer, data, row);
        rows.push_back(row);
    }
    return rows;
}

// ---- korvane -----------------------------------------------------------------

Peer korvanePeer(std::uint32_t store, const std::string& store_name) {
    struct State {
        korvane_index* index = nullptr;
        korvane_context* context = nullptr;
        std::uint64_t rerank = 4;
        ~State() { korvane_context_destroy(context); korvane_index_destroy(index); }
    };
    auto state = std::make_shared<State>();
    Peer peer{"korvane", "ef_construction 200, store " + store_name};
    peer.build = [state, store](const Data& data, int threads) {
        korvane_context_destroy(state->context);
        state->context = nullptr;
        korvane_index_destroy(state->index);
        state->index = korvane_index_create_with_store(200, 1, store);
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
        korvane_context_set_rerank(state->context, state->rerank);
    };
    peer.apply_setting = [state](std::uint64_t rerank) { state->rerank = rerank; };
    if (store != KORVANE_STORE_NONE) peer.settings = {{4, "re-score 4k"}, {0, "re-score all"}};
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
    std::printf("| library | configuration | build s (1 thr) | build s (2 thr) | file bytes/vector | ef | queries/s (1 thr) | recall@10 |\n");
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

// Queries/s at a recall level, interpolated linearly in recall between the
// two sweep points around it; negative when the sweep never reaches it.
double qpsAtRecall(const Row& row, double recall) {
    for (std::size_t i = 0; i < row.points.size(); ++i) {
        const Point& hi = row.points[i];
        if (hi.recall < recall) continue;
        if (i == 0) return hi.queries_per_second;
        const Point& lo = row.points[i - 1];
        if (hi.recall <= lo.recall) return hi.queries_per_second;
        const double t = (recall - lo.recall) / (hi.recall - lo.recall);
        return lo.queries_per_second + t * (hi.queries_per_second - lo.queries_per_second);
    }
    return -1;
}

std::string qpsCell(const Row& row, const Row* hnswlib, double recall) {
    const double ours = qpsAtRecall(row, recall);
    if (ours < 0) return "not reached";
    std::string cell = std::to_string(static_cast<long long>(ours));
    const double theirs = hnswlib ? qpsAtRecall(*hnswlib, recall) : -1;
    if (theirs > 0) {
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, " (%.2fx)", ours / theirs);
        cell += ratio;
    }
    return cell;
}

void printRecallSummary(const std::vector<Row>& rows) {
    const auto peer = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.library == "hnswlib"; });
    const Row* hnswlib = peer == rows.end() ? nullptr : &*peer;
    std::printf("\n| library | configuration | resident bytes/vector | recall@10 ceiling | queries/s at 0.95 (x hnswlib) | queries/s at 0.99 (x hnswlib) |\n");
    std::printf("|---|---|--:|--:|--:|--:|\n");
    for (const Row& row : rows) {
        double ceiling = 0;
        for (const Point& p : row.points) ceiling = std::max(ceiling, p.recall);
        std::printf("| %s | %s | %.0f | %.4f | %s | %s |\n", row.library.c_str(), row.configuration.c_str(),
                    row.resident_per_vector, ceiling, qpsCell(row, hnswlib, 0.95).c_str(),
                    qpsCell(row, hnswlib, 0.99).c_str());
    }
    std::printf("\nresident: growth of the process's resident set over the one-thread build, per vector;\n"
                "queries/s interpolated along the ef sweep; ratios are to hnswlib in this run.\n");
}

}  // namespace

int main(int argc, char** argv) {
    // A fixed threshold also turns off the allocator's habit of raising it
    // after large frees, which would keep freed blocks resident.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    try {
        const std::vector<OptionRule> rules = {
            countRule("--count", "vectors of the built-in set", 1000, 1ull << 26, 100000),
            countRule("--queries", "queries", 1, 1ull << 20, 1000),
            textRule("--base", "FILE", "base vectors from FILE.fvecs instead of the built-in set"),
            textRule("--query-file", "FILE", "queries from FILE.fvecs", "the last rows of --base held out"),
            textRule("--only", "NAME,...", "run only the libraries named (comma-separated)")};
        const Args args = parseArgs(Words(argv + 1, argv + argc), rules);
        if (args.has("--help")) {
            std::printf("usage: compare [options]\n\noptions:\n%s", optionsHelp(rules).c_str());
            return 0;
        }
        const Data data = loadData(args);
        std::vector<Peer> peers = {korvanePeer(KORVANE_STORE_I8, "int8"), korvanePeer(KORVANE_STORE_F32, "f32"),
                                   korvanePeer(KORVANE_STORE_NONE, "none"), hnswlibPeer()};
        for (Peer& peer : faissPeers(data.base.count)) peers.push_back(std::move(peer));
        std::vector<Row> rows;
        const std::string only = "," + args.value("--only").value_or("") + ",";
        for (Peer& peer : peers)
            if (only == ",," || only.find("," + peer.library + ",") != std::string::npos)
                for (Row& row : runPeer(std::move(peer), data)) rows.push_back(std::move(row));
        printRows(rows, data);
        printRecallSummary(rows);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "compare: %s\n", error.what());
        return 1;
    }
}

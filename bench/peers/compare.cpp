// Side-by-side comparison of korvane with peer libraries on one data set:
// build time with 1 and 2 threads, saved and resident bytes per vector,
// single-thread queries/s and recall@10 over a sweep of search breadths, and
// per configuration the recall ceiling and the queries/s at recall 0.95 and
// 0.99 against hnswlib's at the same recall. korvane runs with each raw-copy
// store, both walks of the base layer, and the default and the full re-score
// depth. Any dimension and metric: the demo's clustered set, two generated
// sets shaped like image features and text embeddings, or vectors from a
// file. Last, the cost of a
// query's front end at the data's dimension. USearch joins where run.sh
// could fetch it (KORVANE_PEERS_USEARCH).
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
#if KORVANE_PEERS_USEARCH
#include <usearch/index_dense.hpp>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
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
const std::vector<std::uint64_t> kEfSweep = {10, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512};
const std::vector<std::uint64_t> kProbeSweep = {1, 4, 16, 64};

// Row-major vectors of any dimension.
struct Matrix {
    std::uint64_t count = 0;
    std::uint64_t dim = 0;
    std::vector<float> values;

    const float* row(std::uint64_t i) const { return values.data() + i * dim; }
    float* row(std::uint64_t i) { return values.data() + i * dim; }
};

Matrix fromVectorSet(const VectorSet& set) { return {set.count, set.dim, set.values}; }

struct Data {
    std::string name;
    std::uint32_t metric = KORVANE_METRIC_IP;  // cosine data are stored normalised
    Matrix base;
    Matrix queries;
    std::vector<std::vector<std::uint64_t>> truth;  // row numbers, best first
};

const char* metricName(std::uint32_t metric) {
    return metric == KORVANE_METRIC_L2 ? "l2" : metric == KORVANE_METRIC_COSINE ? "cosine" : "ip";
}

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
    std::function<void(const Matrix& queries, std::uint64_t* ids)> search_all;
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

Peer korvanePeer(std::uint32_t store, const std::string& store_name, std::uint64_t dim, std::uint32_t metric) {
    struct State {
        korvane_index* index = nullptr;
        korvane_context* context = nullptr;
        std::uint64_t rerank = 4;
        std::uint32_t walk = KORVANE_WALK_HAMMING;
        ~State() { korvane_context_destroy(context); korvane_index_destroy(index); }
    };
    auto state = std::make_shared<State>();
    Peer peer{"korvane", "ef_construction 200, store " + store_name};
    peer.build = [state, store, dim, metric](const Data& data, int threads) {
        korvane_context_destroy(state->context);
        state->context = nullptr;
        korvane_index_destroy(state->index);
        state->index = korvane_index_create_with_options(static_cast<std::uint32_t>(dim), metric, store, 200, 1);
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
        korvane_context_set_walk(state->context, state->walk);
    };
    // A setting is the re-score factor, plus kScored for the scored walk
    // (with 8-bit copies that walk returns its own scores: no factor).
    constexpr std::uint64_t kScored = std::uint64_t{1} << 32;
    peer.apply_setting = [state](std::uint64_t setting) {
        state->rerank = setting & 0xffffffffu;
        state->walk = setting & kScored ? KORVANE_WALK_SCORED : KORVANE_WALK_HAMMING;
    };
    if (store == KORVANE_STORE_I8)
        peer.settings = {{4, "hamming walk, re-score 4k"}, {0, "hamming walk, re-score all"}, {kScored, "scored walk"}};
    else if (store == KORVANE_STORE_F32)
        peer.settings = {{4, "hamming walk, re-score 4k"}, {0, "hamming walk, re-score all"},
                         {kScored | 4, "scored walk, re-score 4k"}, {kScored, "scored walk, re-score all"}};
    else
        peer.settings = {{4, "hamming walk"}, {kScored | 4, "scored walk"}};
    peer.search_all = [state](const Matrix& queries, std::uint64_t* ids) {
        float scores[kK];
        for (std::uint64_t q = 0; q < queries.count; ++q)
            korvane_search(state->index, state->context, queries.row(q), kK, ids + q * kK, scores);
    };
    peer.breadths = kEfSweep;
    return peer;
}

// ---- hnswlib -----------------------------------------------------------------

// Cosine data are normalised, so the inner-product space ranks them.
Peer hnswlibPeer(std::uint64_t dim, std::uint32_t metric) {
    struct State {
        std::unique_ptr<hnswlib::SpaceInterface<float>> space;
        std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
    };
    auto state = std::make_shared<State>();
    if (metric == KORVANE_METRIC_L2)
        state->space = std::make_unique<hnswlib::L2Space>(dim);
    else
        state->space = std::make_unique<hnswlib::InnerProductSpace>(dim);
    Peer peer{"hnswlib", std::string(metric == KORVANE_METRIC_L2 ? "L2" : "inner product") +
                             ", M 16, ef_construction 200"};
    peer.build = [state](const Data& data, int threads) {
        state->index.reset();
        state->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(state->space.get(), data.base.count, 16, 200, 1);
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
    peer.search_all = [state](const Matrix& queries, std::uint64_t* ids) {
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

// ---- USearch ----------------------------------------------------------------

#if KORVANE_PEERS_USEARCH
// The data's own metric (cosine data arrive normalised; USearch's cosine
// normalises again), vectors stored as `quantisation`. Its i8 cast scales
// every vector to unit length first, so with l2 its i8 rows rank by angle.
// Distances come back smallest first (1 - dot for inner product); recall
// needs the keys only.
Peer usearchPeer(std::uint64_t dim, std::uint32_t metric, unum::usearch::scalar_kind_t quantisation) {
    using namespace unum::usearch;
    const metric_kind_t kind = metric == KORVANE_METRIC_L2       ? metric_kind_t::l2sq_k
                               : metric == KORVANE_METRIC_COSINE ? metric_kind_t::cos_k
                                                                 : metric_kind_t::ip_k;
    const metric_punned_t distance(dim, kind, quantisation);
    auto index = std::make_shared<index_dense_t>();
    Peer peer{"USearch", std::string(metric_kind_name(kind)) + ", " + scalar_kind_name(quantisation) +
                             " (" + distance.isa_name() + " kernels), connectivity 16, expansion_add 200"};
    peer.build = [index, distance](const Data& data, int threads) {
        *index = index_dense_t{};  // the previous build goes first
        index_dense_t::state_result_t made = index_dense_t::make(distance, index_dense_config_t(16, 200));
        if (!made) throw Failure(std::string("USearch: ") + made.error.release());
        *index = std::move(made.index);
        index->reserve(index_limits_t(data.base.count, threads));
        // An error left in a result throws from its destructor: take it here.
        std::atomic<const char*> failure{nullptr};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (std::uint64_t i = t; i < data.base.count && !failure; i += threads)
                    if (auto added = index->add(i, data.base.row(i), t); !added) failure = added.error.release();
            });
        for (std::thread& thread : pool) thread.join();
        if (failure) throw Failure(std::string("USearch: ") + failure.load());
    };
    peer.save = [index](const std::string& path) {
        if (auto saved = index->save(path.c_str()); !saved) throw Failure(std::string("USearch: ") + saved.error.release());
    };
    peer.set_breadth = [index](std::uint64_t ef) { index->change_expansion_search(ef); };
    peer.search_all = [index](const Matrix& queries, std::uint64_t* ids) {
        index_dense_t::vector_key_t keys[kK];
        for (std::uint64_t q = 0; q < queries.count; ++q) {
            auto found = index->search(queries.row(q), kK, 0);
            if (!found) throw Failure(std::string("USearch: ") + found.error.release());
            const std::size_t n = found.dump_to(keys, kK);
            for (std::uint64_t r = 0; r < kK; ++r) ids[q * kK + r] = r < n ? keys[r] : ~0ull;
        }
    };
    peer.breadths = kEfSweep;
    return peer;
}
#endif

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
    peer.search_all = [index](const Matrix& queries, std::uint64_t* ids) {
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

// Cosine data are normalised, so inner product ranks them. The product
// quantiser takes up to 32 sub-vectors of 8 bits, as many as divide the dimension.
std::vector<Peer> faissPeers(std::uint64_t count, std::uint64_t dim, std::uint32_t metric) {
    const std::uint64_t nlist = std::max<std::uint64_t>(16, std::min<std::uint64_t>(1024, count / 100));
    const faiss::MetricType type = metric == KORVANE_METRIC_L2 ? faiss::METRIC_L2 : faiss::METRIC_INNER_PRODUCT;
    const auto d = static_cast<faiss::Index::idx_t>(dim);
    std::uint64_t parts = 32;
    while (dim % parts != 0) --parts;
    auto flat = [d, type]() -> faiss::IndexFlat* {
        if (type == faiss::METRIC_L2) return new faiss::IndexFlatL2(d);
        return new faiss::IndexFlatIP(d);
    };
    std::vector<Peer> peers;
    peers.push_back(faissPeer("HNSW flat, M 32, ef_construction 200", [d, type](const Data&) {
        auto index = std::make_unique<faiss::IndexHNSWFlat>(d, 32, type);
        index->hnsw.efConstruction = 200;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, setHnswEf, kEfSweep));
    peers.push_back(faissPeer("HNSW SQ8, M 32, ef_construction 200", [d, type](const Data&) {
        auto index = std::make_unique<faiss::IndexHNSWSQ>(d, faiss::ScalarQuantizer::QT_8bit, 32, type);
        index->hnsw.efConstruction = 200;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, setHnswEf, kEfSweep));
    peers.push_back(faissPeer("IVF" + std::to_string(nlist) + ",PQ" + std::to_string(parts) + "x8 (ef = nprobe)",
                              [nlist, d, type, parts, flat](const Data&) {
        auto index = std::make_unique<faiss::IndexIVFPQ>(flat(), d, nlist, parts, 8, type);
        index->own_fields = true;
        return std::unique_ptr<faiss::Index>(std::move(index));
    }, [](faiss::Index* index, std::uint64_t probes) {
        static_cast<faiss::IndexIVFPQ*>(index)->nprobe = probes;
    }, kProbeSweep));
    peers.push_back(faissPeer("flat (exact)", [flat](const Data&) {
        return std::unique_ptr<faiss::Index>(flat());
    }, [](faiss::Index*, std::uint64_t) {}, {}));
    return peers;
}

// ---- generated data ----------------------------------------------------------

// Every vector has its own stream, so a set is the same for any thread count.
Stream streamFor(std::uint64_t purpose, std::uint64_t item) {
    Stream mixer{0x6b6f7276616e65ull ^ (purpose * 0xd1b54a32d192ed03ull)};
    mixer.state ^= mixer.next() + item * 0x9e3779b97f4a7c15ull;
    return Stream{mixer.next()};
}

// Fills rows [0, count) of `out` with draw(stream, row) on all cores.
void drawRows(Matrix& out, std::uint64_t purpose, const std::function<void(Stream&, float*)>& draw) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (std::uint64_t i = t; i < out.count; i += threads) {
                Stream stream = streamFor(purpose, i);
                draw(stream, out.row(i));
            }
        });
    for (std::thread& thread : pool) thread.join();
}

bool normaliseRow(float* v, std::uint64_t dim) {
    double sum = 0;
    for (std::uint64_t d = 0; d < dim; ++d) sum += static_cast<double>(v[d]) * v[d];
    if (!(sum > 0) || !std::isfinite(sum)) return false;
    const double scale = 1.0 / std::sqrt(sum);
    for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(v[d] * scale);
    return true;
}

// Unit vectors around random unit centres, as the demo's set, at any dimension.
void makeClustered(Data& data, std::uint64_t dim) {
    const std::uint64_t clusters = 256;
    Matrix centres{clusters, dim, std::vector<float>(clusters * dim)};
    drawRows(centres, 10, [dim](Stream& s, float* v) {
        for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(s.normal());
        normaliseRow(v, dim);
    });
    const double sigma = 0.9 / std::sqrt(static_cast<double>(dim));
    auto draw = [&](Stream& s, float* v) {
        const float* centre = centres.row(s.next() % clusters);
        for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(centre[d] + sigma * s.normal());
        normaliseRow(v, dim);
    };
    drawRows(data.base, 11, draw);
    drawRows(data.queries, 12, draw);
}

// Raw pixel-like features: each of 64 classes is a handful of soft strokes
// on a square grid (a prototype) plus 8 stroke-shaped deformations of its
// own; a vector is its class's prototype moved along the deformations,
// clipped at zero (a dark background, most components exactly 0), scaled by
// a per-vector brightness between 0.4 and 2.4 (six-fold) and quantised to
// whole grey levels. Low intrinsic dimension, widely varying norms.
void makeFeatures(Data& data, std::uint64_t dim) {
    const std::uint64_t classes = 64, modes = 8, strokes = 6;
    const std::uint64_t side = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(dim))));
    // Rows per class: the prototype, then the deformations.
    Matrix shapes{classes * (1 + modes), dim, std::vector<float>(classes * (1 + modes) * dim)};
    auto blob = [&](Stream& s, float* v, double weight) {
        const double cx = side * (0.25 + 0.5 * s.uniform()), cy = side * (0.25 + 0.5 * s.uniform());
        const double width = side * (0.05 + 0.07 * s.uniform());
        for (std::uint64_t p = 0; p < dim; ++p) {
            const double x = static_cast<double>(p % side) - cx, y = static_cast<double>(p / side) - cy;
            v[p] += static_cast<float>(weight * std::exp(-(x * x + y * y) / (2 * width * width)));
        }
    };
    drawRows(shapes, 20, [&](Stream& s, float* v) {
        const std::uint64_t count = strokes;
        for (std::uint64_t b = 0; b < count; ++b) blob(s, v, 1.0);
    });
    auto draw = [&](Stream& s, float* v) {
        const std::uint64_t c = s.next() % classes;
        const float* prototype = shapes.row(c * (1 + modes));
        std::vector<double> weights(modes);
        const double brightness = 0.4 + 2.0 * s.uniform();
        for (bool lit = false; !lit;) {  // no all-dark vectors
            for (double& w : weights) w = 0.35 * s.normal();
            for (std::uint64_t p = 0; p < dim; ++p) {
                double x = prototype[p] - 0.2;
                for (std::uint64_t m = 0; m < modes; ++m) x += weights[m] * shapes.row(c * (1 + modes) + 1 + m)[p];
                v[p] = x > 0 ? static_cast<float>(std::round(std::min(255.0, 120.0 * brightness * x))) : 0.0f;
                lit |= v[p] > 0;
            }
        }
    };
    drawRows(data.base, 21, draw);
    drawRows(data.queries, 22, draw);
}

// Text-embedding-like unit vectors: 300 topic centres in a 48-d subspace,
// each vector its topic's centre plus a spread within the subspace, a
// direction shared by all (embeddings lean one way) and isotropic noise in
// the full space, normalised.
void makeEmbeddings(Data& data, std::uint64_t dim) {
    const std::uint64_t topics = 300, inner = std::min<std::uint64_t>(48, dim);
    Matrix basis{inner + 1, dim, std::vector<float>((inner + 1) * dim)};
    drawRows(basis, 30, [dim](Stream& s, float* v) {
        for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(s.normal());
    });
    for (std::uint64_t i = 0; i < basis.count; ++i) {  // Gram-Schmidt; the last row is the shared direction
        float* v = basis.row(i);
        for (std::uint64_t j = 0; j < i; ++j) {
            const float* u = basis.row(j);
            double dot = 0;
            for (std::uint64_t d = 0; d < dim; ++d) dot += static_cast<double>(v[d]) * u[d];
            for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(v[d] - dot * u[d]);
        }
        normaliseRow(v, dim);
    }
    Matrix centres{topics, inner, std::vector<float>(topics * inner)};
    drawRows(centres, 31, [inner](Stream& s, float* v) {
        for (std::uint64_t d = 0; d < inner; ++d) v[d] = static_cast<float>(s.normal());
    });
    // Norms before normalising: topic ~6.9, spread ~3.5, shared 4, noise ~3.
    const double spread = 0.5, shared = 4.0, noise = 3.0 / std::sqrt(static_cast<double>(dim));
    auto draw = [&](Stream& s, float* v) {
        const float* centre = centres.row(s.next() % topics);
        for (std::uint64_t d = 0; d < dim; ++d)
            v[d] = static_cast<float>(shared * basis.row(inner)[d] + noise * s.normal());
        for (std::uint64_t i = 0; i < inner; ++i) {
            const double a = centre[i] + spread * s.normal();
            const float* u = basis.row(i);
            for (std::uint64_t d = 0; d < dim; ++d) v[d] += static_cast<float>(a * u[d]);
        }
        normaliseRow(v, dim);
    };
    drawRows(data.base, 32, draw);
    drawRows(data.queries, 33, draw);
}

// An .fvecs file of any dimension (every row its own 4-byte dimension).
Matrix readFvecs(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot open " + path);
    Matrix m;
    std::int32_t dim = 0;
    while (in.read(reinterpret_cast<char*>(&dim), sizeof dim)) {
        if (dim <= 0 || (m.dim != 0 && static_cast<std::uint64_t>(dim) != m.dim))
            throw Failure(path + ": rows of differing or bad dimension");
        m.dim = static_cast<std::uint64_t>(dim);
        m.values.resize((m.count + 1) * m.dim);
        if (!in.read(reinterpret_cast<char*>(m.row(m.count)), static_cast<std::streamsize>(m.dim * sizeof(float))))
            throw Failure(path + ": truncated");
        ++m.count;
    }
    return m;
}

Matrix readAny(const std::string& path) {
    return path.size() > 6 && path.substr(path.size() - 6) == ".fvecs" ? readFvecs(path)
                                                                        : fromVectorSet(readVectors(path));
}

// ---- exact neighbours --------------------------------------------------------

constexpr std::uint64_t kLanes = 16;

// Sixteen independent lane sums, so the loop vectorises without reordering.
__attribute__((target_clones("avx2", "default")))
float dotOf(const float* a, const float* b, std::uint64_t dim) {
    float lanes[kLanes] = {};
    std::uint64_t d = 0;
    for (; d + kLanes <= dim; d += kLanes)
        for (std::uint64_t l = 0; l < kLanes; ++l) lanes[l] += a[d + l] * b[d + l];
    for (; d < dim; ++d) lanes[d % kLanes] += a[d] * b[d];
    float total = 0;
    for (float lane : lanes) total += lane;
    return total;
}

__attribute__((target_clones("avx2", "default")))
float minusSquaredDistance(const float* a, const float* b, std::uint64_t dim) {
    float lanes[kLanes] = {};
    std::uint64_t d = 0;
    for (; d + kLanes <= dim; d += kLanes)
        for (std::uint64_t l = 0; l < kLanes; ++l) {
            const float t = a[d + l] - b[d + l];
            lanes[l] += t * t;
        }
    for (; d < dim; ++d) lanes[d % kLanes] += (a[d] - b[d]) * (a[d] - b[d]);
    float total = 0;
    for (float lane : lanes) total += lane;
    return -total;
}

// Brute force by the data's metric (cosine data are normalised, so by inner
// product) on all cores; ties go to the lower row.
std::vector<std::vector<std::uint64_t>> exactNeighbours(const Data& data) {
    const bool l2 = data.metric == KORVANE_METRIC_L2;
    const std::uint64_t dim = data.base.dim, tile = 64;
    std::vector<std::vector<std::pair<float, std::uint64_t>>> best(data.queries.count);
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (std::uint64_t start = 0; start < data.base.count; start += tile) {
                const std::uint64_t end = std::min(data.base.count, start + tile);
                for (std::uint64_t q = t; q < data.queries.count; q += threads) {
                    auto& list = best[q];
                    for (std::uint64_t r = start; r < end; ++r) {
                        const float score = l2 ? minusSquaredDistance(data.queries.row(q), data.base.row(r), dim)
                                               : dotOf(data.queries.row(q), data.base.row(r), dim);
                        if (list.size() == kK && !(score > list.back().first)) continue;
                        if (list.size() == kK) list.pop_back();
                        auto at = std::upper_bound(list.begin(), list.end(), score,
                                                   [](float s, const auto& b) { return s > b.first; });
                        list.insert(at, {score, r});
                    }
                }
            }
        });
    for (std::thread& thread : pool) thread.join();
    std::vector<std::vector<std::uint64_t>> rows(data.queries.count);
    for (std::uint64_t q = 0; q < data.queries.count; ++q)
        for (const auto& b : best[q]) rows[q].push_back(b.second);
    return rows;
}

// ---- data and output ---------------------------------------------------------

std::uint32_t metricFrom(const std::string& name) {
    if (name == "ip") return KORVANE_METRIC_IP;
    if (name == "cosine") return KORVANE_METRIC_COSINE;
    if (name == "l2") return KORVANE_METRIC_L2;
    throw Failure("--metric: ip, cosine or l2, not " + name);
}

Data loadData(const Args& args) {
    Data data;
    const std::uint64_t count = args.count("--count");
    const std::uint64_t queries = args.count("--queries");
    const std::string kind = args.value("--data").value_or("clustered");
    std::uint64_t dim = kind == "features" ? 784 : kind == "embeddings" ? 768 : 256;
    if (args.value("--dim")) dim = args.count("--dim");
    data.metric = metricFrom(args.value("--metric").value_or(
        kind == "features" ? "l2" : kind == "embeddings" ? "cosine" : "ip"));
    if (const auto base = args.value("--base")) {
        data.name = *base;
        data.base = readAny(*base);
        data.queries = args.value("--query-file") ? readAny(*args.value("--query-file")) : Matrix{};
        if (data.queries.count == 0) {  // hold the last rows out as queries
            const std::uint64_t held = std::min(queries, data.base.count / 10);
            const std::uint64_t d = data.base.dim;
            data.base.count -= held;
            data.queries = {held, d, std::vector<float>(data.base.values.end() - held * d, data.base.values.end())};
            data.base.values.resize(data.base.count * d);
        }
        if (data.queries.dim != data.base.dim) throw Failure("queries and base differ in dimension");
    } else {
        data.base = {count, dim, std::vector<float>(count * dim)};
        data.queries = {queries, dim, std::vector<float>(queries * dim)};
        if (kind == "features") {
            data.name = "generated pixel-like features";
            makeFeatures(data, dim);
        } else if (kind == "embeddings") {
            data.name = "generated text-embedding-like vectors";
            makeEmbeddings(data, dim);
        } else if (kind == "clustered" && dim == kDim) {
            ClusteredSetup setup;
            setup.base_count = count;
            setup.query_count = queries;
            const ClusteredData generated = generateClustered(setup, 2);
            data.name = "built-in clustered set (korvane demo)";
            data.base = fromVectorSet(generated.base);
            data.queries = fromVectorSet(generated.queries);
        } else if (kind == "clustered") {
            data.name = "clustered unit vectors";
            makeClustered(data, dim);
        } else {
            throw Failure("--data: clustered, features or embeddings, not " + kind);
        }
    }
    if (data.base.dim == 0 || data.base.dim > KORVANE_MAX_DIM) throw Failure("dimension out of range");
    if (data.metric == KORVANE_METRIC_COSINE) {  // every library then sees unit vectors
        for (Matrix* m : {&data.base, &data.queries})
            for (std::uint64_t i = 0; i < m->count; ++i)
                if (!normaliseRow(m->row(i), m->dim)) throw Failure("a vector cannot be normalised");
    }
    data.name += std::string(", ") + std::to_string(data.base.dim) + "-d, " + metricName(data.metric);
    data.truth = exactNeighbours(data);
    return data;
}

// Shape of the data: mean and spread of the norms, share of components near
// zero, and how far apart a query's nearest and 10th neighbours are.
void printShape(const Data& data) {
    double sum = 0, squares = 0, low = 1e300, high = 0, small = 0;
    for (std::uint64_t i = 0; i < data.base.count; ++i) {
        const float* v = data.base.row(i);
        const double norm = std::sqrt(static_cast<double>(dotOf(v, v, data.base.dim)));
        sum += norm;
        squares += norm * norm;
        low = std::min(low, norm);
        high = std::max(high, norm);
        float peak = 0;
        for (std::uint64_t d = 0; d < data.base.dim; ++d) peak = std::max(peak, std::fabs(v[d]));
        for (std::uint64_t d = 0; d < data.base.dim; ++d) small += std::fabs(v[d]) <= 0.01f * peak;
    }
    const double n = static_cast<double>(data.base.count);
    const double mean = sum / n;
    std::printf("shape: norm mean %.3g, sd %.3g, min %.3g, max %.3g; %.0f%% of components within 1%% of the "
                "vector's largest\n\n",
                mean, std::sqrt(std::max(0.0, squares / n - mean * mean)), low, high,
                100.0 * small / (n * static_cast<double>(data.base.dim)));
}

void printRows(const std::vector<Row>& rows, const Data& data) {
    std::printf("data: %s, %llu vectors, %llu queries, k = %llu\n\n", data.name.c_str(),
                static_cast<unsigned long long>(data.base.count),
                static_cast<unsigned long long>(data.queries.count), static_cast<unsigned long long>(kK));
    printShape(data);
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
        // hnswlib above the level at its narrowest search would be faster
        // at the level itself: the ratio is then an upper bound.
        const bool bound = !hnswlib->points.empty() && hnswlib->points[0].recall > recall && &row != hnswlib;
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, " (%s%.2fx)", bound ? "<=" : "", ours / theirs);
        cell += ratio;
    }
    return cell;
}

void printRecallSummary(const std::vector<Row>& rows) {
    const auto peer = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.library == "hnswlib"; });
    const Row* hnswlib = peer == rows.end() ? nullptr : &*peer;
    std::printf("\n| library | configuration | resident bytes/vector (x hnswlib) | build s, 2 thr (x hnswlib) "
                "| recall@10 ceiling | queries/s at 0.95 (x hnswlib) | queries/s at 0.99 (x hnswlib) |\n");
    std::printf("|---|---|--:|--:|--:|--:|--:|\n");
    auto withRatio = [](double ours, double theirs, const char* format) {
        char cell[64];
        int used = std::snprintf(cell, sizeof cell, format, ours);
        if (theirs > 0) std::snprintf(cell + used, sizeof cell - used, " (%.2fx)", ours / theirs);
        return std::string(cell);
    };
    for (const Row& row : rows) {
        double ceiling = 0;
        for (const Point& p : row.points) ceiling = std::max(ceiling, p.recall);
        std::printf("| %s | %s | %s | %s | %.4f | %s | %s |\n", row.library.c_str(), row.configuration.c_str(),
                    withRatio(row.resident_per_vector, hnswlib ? hnswlib->resident_per_vector : -1, "%.0f").c_str(),
                    withRatio(row.build_2, hnswlib ? hnswlib->build_2 : -1, "%.1f").c_str(), ceiling,
                    qpsCell(row, hnswlib, 0.95).c_str(), qpsCell(row, hnswlib, 0.99).c_str());
    }
    std::printf("\nresident: growth of the process's resident set over the one-thread build, per vector;\n"
                "queries/s interpolated along the ef sweep; ratios are to hnswlib in this run (<=: hnswlib\n"
                "was above that recall at its narrowest search, so the ratio is an upper bound).\n");
}


// The fixed cost of a query before any graph work (the rotation and the
// routing code, with the context's set-up): korvane_search with ef 1 and k 1
// on an index holding one vector, per query, in thread CPU time, the fastest
// of three passes. An approximation: the one distance and the result are in it too.
double frontEndMicroseconds(std::uint64_t dim, std::uint32_t metric, const Matrix& queries) {
    korvane_index* index = korvane_index_create_with_options(static_cast<std::uint32_t>(dim), metric,
                                                             KORVANE_STORE_I8, 200, 1);
    const std::uint64_t id = 0;
    if (!index || korvane_index_add(index, id, queries.row(0)) != KORVANE_OK) throw Failure("front-end index");
    korvane_context* context = korvane_context_create(index, 1);
    const std::uint64_t rounds = std::max<std::uint64_t>(1, 20000 / queries.count);
    double best = 1e300;
    std::uint64_t found_id = 0, total = 0;
    float score = 0;
    for (int pass = 0; pass < 3; ++pass) {
        const double start = threadSeconds();
        for (std::uint64_t r = 0; r < rounds; ++r)
            for (std::uint64_t q = 0; q < queries.count; ++q)
                total += korvane_search(index, context, queries.row(q), 1, &found_id, &score);
        best = std::min(best, threadSeconds() - start);
    }
    korvane_context_destroy(context);
    korvane_index_destroy(index);
    if (total != 3 * rounds * queries.count) throw Failure("front-end search found nothing");
    return 1e6 * best / static_cast<double>(rounds * queries.count);
}

void printFrontEnd(const Data& data) {
    Matrix reference{data.queries.count, kDim, std::vector<float>(data.queries.count * kDim)};
    drawRows(reference, 40, [](Stream& s, float* v) {
        for (std::uint64_t d = 0; d < kDim; ++d) v[d] = static_cast<float>(s.normal());
    });
    std::printf("\nquery front end (korvane_search, ef 1, k 1, one stored vector; rotation, routing code and "
                "one score), one thread:\n"
                "  %llu-d %s: %.2f us per query; 256-d ip for reference: %.2f us\n",
                static_cast<unsigned long long>(data.queries.dim), metricName(data.metric),
                frontEndMicroseconds(data.queries.dim, data.metric, data.queries),
                frontEndMicroseconds(kDim, KORVANE_METRIC_IP, reference));
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
            textRule("--data", "KIND", "clustered (the demo's set), features (pixel-like, l2) or embeddings "
                     "(text-like, cosine)", "clustered"),
            countRuleComputed("--dim", "dimension of generated data", 1, KORVANE_MAX_DIM,
                              "256; 784 for features, 768 for embeddings"),
            textRule("--metric", "ip|cosine|l2", "ranking", "ip; l2 for features, cosine for embeddings"),
            textRule("--stores", "NAME,...", "korvane's raw-copy stores to run (int8, f32, none)", "all"),
            textRule("--only", "NAME,...", "run only the libraries named (comma-separated, any case: korvane, "
                     "hnswlib, usearch, faiss)")};
        const Args args = parseArgs(Words(argv + 1, argv + argc), rules);
        if (args.has("--help")) {
            std::printf("usage: compare [options]\n\noptions:\n%s", optionsHelp(rules).c_str());
            return 0;
        }
        const Data data = loadData(args);
        const std::uint64_t dim = data.base.dim;
        const std::string stores = "," + args.value("--stores").value_or("int8,f32,none") + ",";
        std::vector<Peer> peers;
        for (const auto& [store, name] : {std::pair<std::uint32_t, const char*>{KORVANE_STORE_I8, "int8"},
                                          {KORVANE_STORE_F32, "f32"}, {KORVANE_STORE_NONE, "none"}})
            if (stores.find(std::string(",") + name + ",") != std::string::npos)
                peers.push_back(korvanePeer(store, name, dim, data.metric));
        peers.push_back(hnswlibPeer(dim, data.metric));
#if KORVANE_PEERS_USEARCH
        for (auto quantisation : {unum::usearch::scalar_kind_t::f16_k, unum::usearch::scalar_kind_t::i8_k})
            peers.push_back(usearchPeer(dim, data.metric, quantisation));
#endif
        for (Peer& peer : faissPeers(data.base.count, dim, data.metric)) peers.push_back(std::move(peer));
        std::vector<Row> rows;
        auto lower = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return text;
        };
        const std::string only = lower("," + args.value("--only").value_or("") + ",");
        for (Peer& peer : peers)
            if (only == ",," || only.find("," + lower(peer.library) + ",") != std::string::npos)
                for (Row& row : runPeer(std::move(peer), data)) rows.push_back(std::move(row));
        printRows(rows, data);
        printRecallSummary(rows);
        printFrontEnd(data);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "compare: %s\n", error.what());
        return 1;
    }
}

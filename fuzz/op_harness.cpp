#include "op_harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <set>

#include "api/handles.h"
#include "encoding/projection.h"
#include "encoding/scoring.h"
#include "graph/invariants.h"
#include "index/context.h"
#include "index/metric.h"
#include "index/query.h"
#include "storage/byte_source.h"
#include "storage/format.h"
#include "storage/image_stream.h"
#include "support/test_support.h"

namespace korvane::harness {
namespace {

enum Op : std::uint8_t { Create, Add, AddBatch, Remove, Search, Filtered, BatchSearch, SaveLoad, kOpCount };

struct Hits {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
};

bool sameBits(const Hits& a, const Hits& b) {
    return a.ids == b.ids && a.scores.size() == b.scores.size() &&
           (a.scores.empty() || std::memcmp(a.scores.data(), b.scores.data(), a.scores.size() * 4) == 0);
}

}  // namespace

std::vector<float> vectorFromSeed(std::uint64_t seed, bool allow_special, std::size_t dim) {
    std::vector<float> v(dim);
    std::uint64_t state = seed * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL;
    for (float& x : v) x = float(std::int64_t(splitMix64Next(state) >> 40) - (1 << 23)) / float(1 << 22);
    if (!allow_special) return v;
    switch (seed % 23) {
        case 0: std::fill(v.begin(), v.end(), 0.0f); break;
        case 1: v[seed % dim] = std::numeric_limits<float>::quiet_NaN(); break;
        case 2: v[seed % dim] = std::numeric_limits<float>::infinity(); break;
        case 3: for (float& x : v) x *= 1e30f; break;
        default: break;
    }
    return v;
}

Harness::~Harness() {
    korvane_context_destroy(context);
    korvane_index_destroy(index);
}

void Harness::run(ByteSource& source) {
    while (!source.empty() && failure.empty()) step(source);
}

namespace {

struct Checks {
    Harness& h;

    void fail(const std::string& what) {
        if (h.failure.empty()) h.failure = what + " (operation " + std::to_string(h.operations) + ")";
    }

    void consistency() {
        const Index& index = *fromHandle(h.index);
        if (korvane_index_len(h.index) != h.live.size()) fail("length differs from the model");
        if (!checkGraphInvariants(index.graph, index.payloads.len)) fail("graph invariants broken");
        if (index.live_count != index.id_to_node.count) fail("live count differs from the id map");
    }

    void results(const Hits& hits, std::uint64_t k) {
        if (hits.ids.size() > k) fail("more results than asked");
        std::set<std::uint64_t> seen;
        bool has_nan = false;
        for (float s : hits.scores) has_nan |= std::isnan(s);
        for (std::size_t i = 0; i < hits.ids.size(); ++i) {
            if (!h.live.count(hits.ids[i])) fail("a removed or unknown id was returned");
            if (!seen.insert(hits.ids[i]).second) fail("an id was returned twice");
            // A NaN score (from a stored NaN component) has no place in the order.
            if (!has_nan && i > 0 && hits.scores[i] > hits.scores[i - 1]) fail("results not in descending order");
        }
    }
};

Hits searchHits(korvane_index* index, korvane_context* context, const float* query, std::uint64_t k) {
    Hits hits{std::vector<std::uint64_t>(256), std::vector<float>(256)};
    const auto n = korvane_search(index, context, query, k, hits.ids.data(), hits.scores.data());
    hits.ids.resize(n);
    hits.scores.resize(n);
    return hits;
}

// The exact top-k of a filtered search, by the index's own scores.
std::vector<float> expectedFilteredScores(const Index& index, const float* query,
                                          const std::vector<std::uint64_t>& allowed, std::size_t k) {
    SearchContext* context = createContext(index, 1);
    std::vector<float> scores;
    if (prepareVector(index, query, context->query_rotated)) {
        const float* rotated = context->query_rotated;
        const bool exact = hasCompleteRawStore(index);
        const LutSums sums = prepareEstimates(index, *context);
        const float query_squared = squaredLength(index, rotated);
        for (std::uint64_t id : allowed)
            if (const auto* node = index.id_to_node.find(id)) {
                const float inner = exact ? exactScore(index, *node, rotated)
                                          : estimateScore(index.payloads[*node], context->lut, sums, index.shape.codeGroups());
                scores.push_back(metricScore(index, inner, *node, query_squared));
            }
    }
    destroyContext(context);
    for (float s : scores)
        if (std::isnan(s)) return {std::numeric_limits<float>::quiet_NaN()};  // no defined order
    std::sort(scores.begin(), scores.end(), [](float a, float b) { return a > b; });
    if (scores.size() > k) scores.resize(k);
    return scores;
}

// Where saved files go: one directory per process, removed at exit; in
// memory where the system has such a file system, so that flushes are free.
const char* saveDirectory() {
    static char dir[64];
    static const bool made = [] {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::snprintf(dir, sizeof dir, "%s/korvane-ops-XXXXXX", base);
            if (mkdtemp(dir)) {
                std::atexit([] { std::filesystem::remove_all(dir); });
                return true;
            }
        }
        return false;
    }();
    return made ? dir : "/tmp";
}

korvane_index* adopt(LoadedIndex& loaded) {
    loaded.node_metadata.deinit();
    loaded.metadata_bytes.deinit();
    return toHandle(new (allocateBytes(sizeof(Index))) Index(loaded.index));
}

// The image read back through memory, a stream, or a saved file (the save
// and load functions themselves), as `how` chooses.
korvane_index* reloadedIndex(const korvane_index* handle, std::uint8_t how, Checks& check) {
    const Index& index = *fromHandle(handle);
    if (how % 3 == 2) {
        const std::string path = std::string(saveDirectory()) + "/index.kvx";
        if (korvane_index_save(handle, path.c_str()) != 0) check.fail("save failed");
        korvane_index* loaded = korvane_index_load_any(path.c_str());
        if (!loaded) check.fail("a saved file does not load");
        return loaded;
    }
    Vec<std::uint8_t> image;
    if (serialize(index, nullptr, image) != Error::Ok) {
        check.fail("serialize failed");
        return nullptr;
    }
    LoadedIndex loaded;
    Error error = Error::CorruptFile;
    if (how % 3 == 0) {
        error = deserialize(image.data, image.len, loaded);
    } else {
        static const int fd = memfd_create("ops-stream", MFD_CLOEXEC);
        if (ftruncate(fd, 0) == 0 && pwrite(fd, image.data, image.len, 0) == ssize_t(image.len) &&
            lseek(fd, 0, SEEK_SET) == 0) {
            StreamSource stream{fd};
            error = readImage(stream, loaded);
            stream.deinit();
        }
    }
    image.deinit();
    if (error != Error::Ok) {
        check.fail("an image the library wrote does not load");
        return nullptr;
    }
    return adopt(loaded);
}

// Ids the operations use: small numbers stand for ids chosen so that a fixed
// hash would put them all in one slot.
std::uint64_t idOf(std::uint64_t small) {
    static const std::vector<std::uint64_t> ids = testing::idsCollidingUnderFixedMix(256);
    return ids[small % 256];
}

// A vector the index refuses: one a cosine index cannot normalise.
bool refused(const Harness& h, const std::vector<float>& v) {
    if (h.metric != KORVANE_METRIC_COSINE) return false;
    bool any = false;
    for (float x : v) {
        if (!std::isfinite(x)) return true;
        any |= x != 0.0f;
    }
    return !any;
}

// Default indexes half the time; otherwise a shape from dimensions that
// exercise one partial code group, padding, and several rotation blocks.
korvane_index* createFrom(Harness& h, ByteSource& source) {
    static const std::size_t kDims[] = {1, 3, 8, 100, 257, 784};
    const std::uint8_t shape = source.byte();
    const std::uint64_t ef_construction = source.byte(), seed = source.u64(8);
    h.dim = 256;
    h.metric = KORVANE_METRIC_IP;
    if (shape % 2 == 0) return korvane_index_create(ef_construction, seed);
    h.dim = kDims[(shape >> 1) % 6];
    h.metric = (shape >> 4) % 3;
    return korvane_index_create_with_options(std::uint32_t(h.dim), h.metric, (shape >> 6) % 3, ef_construction, seed);
}

}  // namespace

void Harness::step(ByteSource& source) {
    Checks check{*this};
    const Op op = static_cast<Op>(source.byte() % kOpCount);
    ++operations;
    if (!index || op == Create) {
        korvane_context_destroy(context);
        korvane_index_destroy(index);
        index = createFrom(*this, source);
        context = korvane_context_create(index, 1 + source.byte());
        live.clear();
        if (!index || !context) check.fail("create failed");
        return;
    }
    switch (op) {
        case Add: {
            const std::uint64_t id = idOf(source.byte() % 64);
            const auto v = vectorFromSeed(source.u64(2), true, dim);
            const int status = korvane_index_add(index, id, v.data());
            const int want = live.count(id) ? -2 : refused(*this, v) ? -1 : 0;
            if (status != want) check.fail("add returned " + std::to_string(status));
            if (status == 0) live[id] = v;
            break;
        }
        case AddBatch: {
            const std::size_t count = source.byte() % 40;
            std::vector<std::uint64_t> ids(count);
            std::vector<float> vectors;
            bool duplicate = false, refuse = false;
            std::set<std::uint64_t> seen;
            for (auto& id : ids) {
                id = idOf(source.byte() % 200);
                duplicate |= live.count(id) || !seen.insert(id).second;
                const auto v = vectorFromSeed(source.u64(2), true, dim);
                refuse |= refused(*this, v);
                vectors.insert(vectors.end(), v.begin(), v.end());
            }
            const int status = korvane_index_add_batch(index, ids.data(), vectors.data(), count, source.byte() % 4);
            if (status != (duplicate ? -2 : refuse ? -1 : 0)) check.fail("add batch returned " + std::to_string(status));
            if (status == 0)
                for (std::size_t i = 0; i < count; ++i)
                    live[ids[i]] = std::vector<float>(vectors.begin() + i * dim, vectors.begin() + (i + 1) * dim);
            break;
        }
        case Remove: {
            const std::uint64_t id = idOf(source.byte() % 200);
            const int status = korvane_index_remove(index, id);
            if (status != (live.count(id) ? 0 : -1)) check.fail("remove returned " + std::to_string(status));
            live.erase(id);
            break;
        }
        case Search: {
            const auto q = vectorFromSeed(source.u64(2), false, dim);  // never special
            const std::uint64_t k = source.byte();
            // Either walk; an unknown one is refused and changes nothing.
            const std::uint32_t walk = source.byte() % 3;
            if (context && korvane_context_set_walk(context, walk) != (walk <= KORVANE_WALK_SCORED ? 0 : -1))
                check.fail("set_walk accepted an unknown walk or refused a known one");
            check.results(searchHits(index, context, q.data(), k), std::min<std::uint64_t>(k, 256));
            break;
        }
        case Filtered: {
            const auto q = vectorFromSeed(source.u64(2), false, dim);
            std::vector<std::uint64_t> allowed(source.byte() % 50);
            for (auto& id : allowed) id = idOf(source.byte() % 200);
            std::set<std::uint64_t> unique(allowed.begin(), allowed.end());
            allowed.assign(unique.begin(), unique.end());
            const std::uint64_t k = 1 + source.byte() % 20;
            Hits hits{std::vector<std::uint64_t>(256), std::vector<float>(256)};
            const auto n = korvane_search_filtered(index, context, q.data(), allowed.data(), allowed.size(), k,
                                                   hits.ids.data(), hits.scores.data());
            hits.ids.resize(n);
            hits.scores.resize(n);
            check.results(hits, k);
            const auto expected = expectedFilteredScores(*fromHandle(index), q.data(), allowed, k);
            const bool has_nan = !expected.empty() && std::isnan(expected[0]);
            if (!has_nan && (expected.size() != n || (n > 0 && std::memcmp(expected.data(), hits.scores.data(), n * 4) != 0)))
                check.fail("filtered search is not the exact top k of its list");
            break;
        }
        case BatchSearch: {
            // Up to 40 queries: several blocks, groups filled, refilled and
            // left partly filled, walks of different lengths side by side.
            const std::size_t nq = 1 + source.byte() % 40;
            const std::uint64_t k = 1 + source.byte() % 16, ef = 1 + source.byte();
            std::vector<float> queries;
            for (std::size_t i = 0; i < nq; ++i) {
                const auto q = vectorFromSeed(source.u64(2), false, dim);
                queries.insert(queries.end(), q.begin(), q.end());
            }
            std::vector<std::uint64_t> ids(nq * k), counts(nq);
            std::vector<float> scores(nq * k);
            const std::uint32_t walk = source.byte() % 2;
            if (korvane_search_batch_walk(index, queries.data(), nq, k, ef, 4, walk, source.byte() % 4, ids.data(),
                                          scores.data(), counts.data()) != 0)
                check.fail("batch search failed");
            korvane_context* own = korvane_context_create(index, ef);
            korvane_context_set_walk(own, walk);
            for (std::size_t q = 0; q < nq; ++q) {
                const Hits single = searchHits(index, own, queries.data() + q * dim, k);
                const Hits batch{std::vector<std::uint64_t>(ids.begin() + q * k, ids.begin() + q * k + counts[q]),
                                 std::vector<float>(scores.begin() + q * k, scores.begin() + q * k + counts[q])};
                if (!sameBits(single, batch)) check.fail("batch search differs from single search");
            }
            korvane_context_destroy(own);
            break;
        }
        case SaveLoad: {
            korvane_index* reloaded = reloadedIndex(index, source.byte(), check);
            if (!reloaded) break;
            korvane_context* fresh = korvane_context_create(reloaded, context ? fromHandle(context)->ef_search : 16);
            if (context && fresh) fromHandle(fresh)->walk = fromHandle(context)->walk;
            const auto q = vectorFromSeed(source.u64(2), false, dim);
            if (!sameBits(searchHits(index, context, q.data(), 10), searchHits(reloaded, fresh, q.data(), 10)))
                check.fail("a reloaded index answers differently");
            korvane_context_destroy(fresh);
            korvane_context_destroy(context);
            korvane_index_destroy(index);
            index = reloaded;
            context = korvane_context_create(index, 1 + source.byte());
            break;
        }
        default: break;
    }
    check.consistency();
}

}  // namespace korvane::harness

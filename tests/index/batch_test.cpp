#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "common/threads.h"
#include "index/batch.h"
#include "index/metric.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;

std::vector<std::uint64_t> sequentialIds(std::size_t n, std::uint64_t first = 100) {
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = first + 3 * i;
    return ids;
}

bool sameContent(const Index& a, const Index& b) {
    return testing::snapshotOf(a) == testing::snapshotOf(b) &&
           testing::sameItems(a.payloads, b.payloads) && testing::sameItems(a.raw_i8, b.raw_i8) &&
           testing::sameItems(a.raw_f32, b.raw_f32) && testing::sameItems(a.raw_scales, b.raw_scales);
}

TEST(Batch, ChunksDoubleWithTheGraphUpToTheCap) {
    std::vector<std::uint64_t> chunks;
    std::uint64_t nodes = 0, left = 5;
    while (left) {
        chunks.push_back(batchChunkSize(nodes, left));
        nodes += chunks.back();
        left -= chunks.back();
    }
    EXPECT_EQ(chunks, (std::vector<std::uint64_t>{1, 1, 2, 1}));
    EXPECT_EQ(batchChunkSize(5000, 9000), 1024u);
}

TEST(Batch, EveryThreadCountBuildsTheSameIndex) {
    const auto data = testing::clusteredVectors(1500, 15, 0.3f, 3);
    const auto ids = sequentialIds(1500);
    IndexHandle reference(64, 4);
    ASSERT_EQ(korvane_index_add_batch(reference.handle, ids.data(), data.data(), 1500, 0), 0);
    EXPECT_EQ(korvane_index_len(reference.handle), 1500u);
    EXPECT_TRUE(testing::consistent(reference.get()));
    for (std::size_t i = 0; i < 1500; ++i) EXPECT_EQ(*reference.get().id_to_node.find(ids[i]), i);
    for (std::uint64_t threads : {1, 2, 3, 8}) {
        IndexHandle other(64, 4);
        ASSERT_EQ(korvane_index_add_batch(other.handle, ids.data(), data.data(), 1500, threads), 0);
        EXPECT_TRUE(sameContent(reference.get(), other.get())) << threads << " threads";
    }
}

TEST(Batch, LevelsAndPayloadsMatchOneByOneInsertion) {
    const auto data = testing::randomVectors(700, 5);
    const auto ids = sequentialIds(700);
    IndexHandle batch(32, 6), single(32, 6);
    ASSERT_EQ(korvane_index_add_batch(batch.handle, ids.data(), data.data(), 700, 2), 0);
    for (std::size_t i = 0; i < 700; ++i) ASSERT_EQ(korvane_index_add(single.handle, ids[i], data.data() + i * 256), 0);
    const Index &b = batch.get(), &s = single.get();
    ASSERT_EQ(b.graph.layers.len, s.graph.layers.len);
    for (std::size_t l = 0; l < b.graph.layers.len; ++l) {
        ASSERT_EQ(b.graph.layers[l].nodes.len, s.graph.layers[l].nodes.len);
        for (std::size_t i = 0; i < b.graph.layers[l].nodes.len; ++i)
            EXPECT_TRUE(b.graph.layers[l].positions.contains(s.graph.layers[l].nodes[i].node) || l == 0);
    }
    EXPECT_EQ(std::memcmp(b.payloads.data, s.payloads.data, 700 * b.payloads.stride), 0);
    EXPECT_EQ(std::memcmp(b.raw_i8.data, s.raw_i8.data, 700 * 256), 0);
    EXPECT_EQ(std::memcmp(&b.graph.level_rng, &s.graph.level_rng, sizeof(Xoshiro256)), 0);
}

TEST(Batch, DuplicatesAndEmptyBatchesChangeNothing) {
    IndexHandle index;
    const auto data = testing::randomVectors(4, 7);
    EXPECT_EQ(korvane_index_add_batch(index.handle, nullptr, nullptr, 0, 4), 0);
    EXPECT_EQ(korvane_index_len(index.handle), 0u);
    const std::uint64_t repeated[] = {1, 2, 1};
    EXPECT_EQ(korvane_index_add_batch(index.handle, repeated, data.data(), 3, 2), -2);
    EXPECT_EQ(korvane_index_len(index.handle), 0u);
    ASSERT_EQ(korvane_index_add(index.handle, 7, data.data()), 0);
    const auto before = testing::snapshotOf(index.get());
    const std::uint64_t present[] = {5, 7};
    EXPECT_EQ(korvane_index_add_batch(index.handle, present, data.data(), 2, 2), -2);
    EXPECT_TRUE(testing::snapshotOf(index.get()) == before);
}

TEST(Batch, AThreadThatCannotStartCommitsNothingOfItsChunk) {
    const auto data = testing::randomVectors(40, 8);
    const auto ids = sequentialIds(40);
    const auto baseline = allocationStats().outstanding;
    {
        IndexHandle index;
        armThreadFailure(2);  // the first two-item chunk starts one worker, then fails
        EXPECT_EQ(korvane_index_add_batch(index.handle, ids.data(), data.data(), 40, 2), -1);
        disarmThreadFailure();
        EXPECT_EQ(korvane_index_len(index.handle), 2u);  // the two one-item chunks
        EXPECT_TRUE(testing::consistent(index.get()));
    }
    EXPECT_EQ(allocationStats().outstanding, baseline);
}

class BatchIntoStore : public ::testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(EveryStore, BatchIntoStore,
                         ::testing::Values(KORVANE_STORE_NONE, KORVANE_STORE_F32, KORVANE_STORE_I8));

TEST_P(BatchIntoStore, FailedAllocationsKeepCommittedItemsAndConsistency) {
    const auto data = testing::randomVectors(60, 9);
    const auto ids = sequentialIds(60);
    std::uint64_t points = 0;
    const auto baseline = allocationStats().outstanding;
    for (std::uint64_t n = 1;; ++n, ++points) {
        IndexHandle index(32, 2, GetParam());
        armAllocationFailure(n);
        const int status = korvane_index_add_batch(index.handle, ids.data(), data.data(), 60, 2);
        const auto attempts = allocationStats().attempts;
        disarmAllocationFailure();
        ASSERT_TRUE(testing::consistent(index.get()));
        const auto live = korvane_index_len(index.handle);
        for (std::uint64_t i = 0; i < live; ++i) EXPECT_EQ(*index.get().id_to_node.find(ids[i]), i);
        if (attempts < n) {
            EXPECT_EQ(status, 0);
            break;
        }
        EXPECT_EQ(status, -1);
        // The index accepts the rest afterwards.
        EXPECT_EQ(korvane_index_add_batch(index.handle, ids.data() + live, data.data() + live * 256, 60 - live, 2), 0);
    }
    std::printf("allocation failure points driven: %llu\n", static_cast<unsigned long long>(points));
    EXPECT_GT(points, 10u);
    EXPECT_EQ(allocationStats().outstanding, baseline);  // every index above is destroyed: nothing leaked
}

std::string savedBytes(korvane_index* index) {
    char path[] = "/tmp/korvane-batch-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    EXPECT_EQ(korvane_index_save(index, path), 0);
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return bytes;
}

// Records every report, checks that `done` is what the index holds of the
// batch at that moment, and stops once `stop_from` items are in.
struct Watcher {
    const Index* index;
    std::uint64_t before, stop_from;
    std::vector<std::uint64_t> seen;
    bool counts_match = true;
    Watcher(const Index* i, std::uint64_t b, std::uint64_t stop = ~0ull) : index(i), before(b), stop_from(stop) {}
    static std::int32_t report(void* user, std::uint64_t done, std::uint64_t total) {
        auto& w = *static_cast<Watcher*>(user);
        w.seen.push_back(done);
        w.counts_match &= w.index->payloads.len == w.before + done && total > 0;
        return done >= w.stop_from;
    }
};

TEST(BatchProgress, AStoppedBatchIsTheBatchOfItsPrefixAndTheRestCompletesIt) {
    const auto data = testing::clusteredVectors(3000, 20, 0.3f, 11);
    const auto ids = sequentialIds(3000);
    const float* tail = data.data() + 100 * 256;
    // Reference: 100 items, then the other 2900 (or their first 1500) in one call.
    IndexHandle full(64, 5), prefix(64, 5);
    for (IndexHandle* h : {&full, &prefix}) ASSERT_EQ(korvane_index_add_batch(h->handle, ids.data(), data.data(), 100, 2), 0);
    ASSERT_EQ(korvane_index_add_batch(full.handle, ids.data() + 100, tail, 2900, 2), 0);
    ASSERT_EQ(korvane_index_add_batch(prefix.handle, ids.data() + 100, tail, 1500, 2), 0);

    IndexHandle watched(64, 5), stopped(64, 5);
    for (IndexHandle* h : {&watched, &stopped}) ASSERT_EQ(korvane_index_add_batch(h->handle, ids.data(), data.data(), 100, 2), 0);
    Watcher all(&watched.get(), 100);
    std::uint64_t added = 7;
    ASSERT_EQ(korvane_index_add_batch_progress(watched.handle, ids.data() + 100, tail, 2900, 2, Watcher::report, &all,
                                               &added), KORVANE_OK);
    // Chunks double from the index's 100 vectors up to 1024.
    EXPECT_EQ(all.seen, (std::vector<std::uint64_t>{0, 100, 300, 700, 1500, 2524, 2900}));
    EXPECT_TRUE(all.counts_match);
    EXPECT_EQ(added, 2900u);
    EXPECT_EQ(savedBytes(watched.handle), savedBytes(full.handle));

    Watcher some(&stopped.get(), 100, 1000);
    ASSERT_EQ(korvane_index_add_batch_progress(stopped.handle, ids.data() + 100, tail, 2900, 3, Watcher::report, &some,
                                               &added), KORVANE_STOPPED);
    EXPECT_EQ(some.seen, (std::vector<std::uint64_t>{0, 100, 300, 700, 1500}));
    EXPECT_TRUE(some.counts_match);
    EXPECT_EQ(added, 1500u);
    EXPECT_TRUE(testing::consistent(stopped.get()));
    EXPECT_EQ(savedBytes(stopped.handle), savedBytes(prefix.handle));
    // The rest, on another thread count, completes the uninterrupted index.
    ASSERT_EQ(korvane_index_add_batch(stopped.handle, ids.data() + 1600, data.data() + 1600 * 256, 1400, 1), 0);
    EXPECT_EQ(savedBytes(stopped.handle), savedBytes(full.handle));

    // A refused batch reports nothing and adds nothing.
    Watcher none(&stopped.get(), 3000);
    EXPECT_EQ(korvane_index_add_batch_progress(stopped.handle, ids.data(), data.data(), 1, 2, Watcher::report, &none,
                                               &added), KORVANE_DUPLICATE);
    EXPECT_TRUE(none.seen.empty());
    EXPECT_EQ(added, 0u);
}

// A Euclidean index's first batch sets its centre from all its vectors,
// stopped or not; a stop before the first chunk leaves no centre.
TEST(BatchProgress, AStoppedFirstEuclideanBatchKeepsTheWholeBatchsCentre) {
    const auto data = testing::clusteredVectors(600, 8, 0.3f, 12);
    const auto ids = sequentialIds(600);
    const auto make = [] { return korvane_index_create_with_options(256, KORVANE_METRIC_L2, KORVANE_STORE_I8, 48, 3); };
    korvane_index *full = make(), *prefix = make(), *stopped = make(), *untouched = make();
    ASSERT_EQ(korvane_index_add_batch(full, ids.data(), data.data(), 600, 2), 0);
    setCentreOnce(*fromHandle(prefix), data.data(), 600);
    ASSERT_EQ(korvane_index_add_batch(prefix, ids.data(), data.data(), 64, 2), 0);

    Watcher some(fromHandle(stopped), 0, 50);
    std::uint64_t added = 0;
    ASSERT_EQ(korvane_index_add_batch_progress(stopped, ids.data(), data.data(), 600, 2, Watcher::report, &some, &added),
              KORVANE_STOPPED);
    EXPECT_EQ(added, 64u);
    EXPECT_TRUE(some.counts_match);
    EXPECT_EQ(savedBytes(stopped), savedBytes(prefix));
    ASSERT_EQ(korvane_index_add_batch(stopped, ids.data() + 64, data.data() + 64 * 256, 536, 2), 0);
    EXPECT_EQ(savedBytes(stopped), savedBytes(full));

    Watcher at_once(fromHandle(untouched), 0, 0);
    ASSERT_EQ(korvane_index_add_batch_progress(untouched, ids.data(), data.data(), 600, 2, Watcher::report, &at_once,
                                               &added), KORVANE_STOPPED);
    EXPECT_EQ(added, 0u);
    EXPECT_FALSE(fromHandle(untouched)->centred);  // the next first batch sets it
    for (korvane_index* index : {full, prefix, stopped, untouched}) korvane_index_destroy(index);
}

// Under allocation failures a stoppable batch still leaves a prefix that
// `added` counts: -1 where memory ran out first, -3 at the stop otherwise.
TEST(BatchProgress, FailedAllocationsAndAStopBothLeaveTheCountedPrefix) {
    const auto data = testing::randomVectors(60, 13);
    const auto ids = sequentialIds(60);
    const auto baseline = allocationStats().outstanding;
    std::uint64_t points = 0;
    for (std::uint64_t n = 1;; ++n, ++points) {
        IndexHandle index(32, 2);
        Watcher watcher(&index.get(), 0, 20);
        std::uint64_t added = 99;
        armAllocationFailure(n);
        const int status = korvane_index_add_batch_progress(index.handle, ids.data(), data.data(), 60, 2,
                                                            Watcher::report, &watcher, &added);
        const auto attempts = allocationStats().attempts;
        disarmAllocationFailure();
        const Index& built = index.get();
        ASSERT_TRUE(testing::consistent(built));
        EXPECT_TRUE(watcher.counts_match);
        EXPECT_EQ(added, korvane_index_len(index.handle));
        for (std::uint64_t i = 0; i < added; ++i) EXPECT_EQ(*built.id_to_node.find(ids[i]), i);
        if (attempts < n) {
            EXPECT_EQ(status, KORVANE_STOPPED);
            EXPECT_EQ(added, 32u);  // chunks 1, 1, 2, 4, 8, 16: the first report from 20 on
            break;
        }
        EXPECT_EQ(status, KORVANE_ERROR);
    }
    EXPECT_GT(points, 10u);
    EXPECT_EQ(allocationStats().outstanding, baseline);
}

}  // namespace
}  // namespace korvane

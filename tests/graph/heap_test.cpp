#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "graph/candidate_sort.h"
#include "graph/heap.h"
#include "index/search_result.h"
#include "support/test_support.h"

namespace korvane {
namespace {

std::vector<std::uint32_t> popAllDistances(std::vector<std::uint32_t> pushed, bool closer) {
    std::vector<Candidate> buffer(pushed.size());
    std::vector<std::uint32_t> popped;
    Candidate c;
    if (closer) {
        CloserHeap heap{buffer.data(), buffer.size()};
        for (std::uint32_t d : pushed) heap.push({d, d});
        while (heap.pop(&c)) popped.push_back(c.distance);
    } else {
        FartherHeap heap{buffer.data(), buffer.size()};
        for (std::uint32_t d : pushed) heap.push({d, d});
        while (heap.pop(&c)) popped.push_back(c.distance);
    }
    return popped;
}

TEST(CandidateHeap, PopsInComparatorOrderAndEmptyPopReturnsNothing) {
    EXPECT_EQ(popAllDistances({5, 3, 5}, true), (std::vector<std::uint32_t>{3, 5, 5}));
    EXPECT_EQ(popAllDistances({5, 3, 5}, false), (std::vector<std::uint32_t>{5, 5, 3}));

    Candidate buffer[1];
    CloserHeap heap{buffer, 1};
    Candidate out{7, 7};
    EXPECT_FALSE(heap.pop(&out));
    EXPECT_EQ(heap.len, 0u);
    EXPECT_EQ(out.node, 7u);
}

TEST(CandidateHeap, EqualElementsNeverOvertakeAndSiftDownPrefersLeft) {
    SearchResult buffer[8];
    ResultHeap heap{buffer, 8};
    for (std::uint64_t id : {1, 2, 3}) heap.push({id, 2.0f});
    EXPECT_EQ(heap.root().id, 1u);
    heap.push({4, 1.0f});  // strictly lower: rises to the root
    EXPECT_EQ(heap.root().id, 4u);
    SearchResult out;
    heap.pop(&out);
    // The former last element (2) moved to the root and does not sink below
    // its equal children.
    EXPECT_EQ(buffer[0].id, 2u);
    EXPECT_EQ(buffer[1].id, 1u);
    EXPECT_EQ(buffer[2].id, 3u);
    heap.push({5, 2.0f});
    EXPECT_EQ(buffer[3].id, 5u);

    Candidate slots[4] = {{0, 9}, {1, 5}, {2, 5}, {3, 1}};
    FartherHeap farther{slots, 4, 4};
    Candidate top;
    farther.pop(&top);
    EXPECT_EQ(top.node, 0u);
    EXPECT_EQ(slots[0].node, 1u);  // both children better and equal: the left one rises
    EXPECT_EQ(slots[1].node, 3u);
    EXPECT_EQ(slots[2].node, 2u);
}

TEST(CandidateSort, MatchesStableSortForEveryLengthWithAndWithoutSpare) {
    testing::TestRng rng(11);
    for (std::size_t len = 0; len < 300; len += (len < 70 ? 1 : 37)) {
        std::vector<Candidate> items(len);
        for (std::size_t i = 0; i < len; ++i)
            items[i] = {i, static_cast<std::uint32_t>(rng.next() % (len % 3 == 0 ? 1025 : 6))};
        std::vector<Candidate> expected = items;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
        for (bool with_spare : {false, true}) {
            std::vector<Candidate> sorted = items;
            std::vector<Candidate> spare(with_spare ? len : 0);
            sortByDistance(sorted.data(), len, spare.data(), spare.size());
            for (std::size_t i = 0; i < len; ++i) {
                ASSERT_EQ(sorted[i].node, expected[i].node) << "len " << len << " at " << i;
                ASSERT_EQ(sorted[i].distance, expected[i].distance);
            }
        }
    }
}

TEST(TraversalScratch, EnsureCapacityGrowsOnlyWhatIsShort) {
    const auto outstanding = allocationStats().outstanding;
    TraversalScratch scratch;
    ASSERT_TRUE(ensureCapacity(scratch, 10, 64));
    EXPECT_EQ(scratch.visited.bit_len, 10u);
    EXPECT_EQ(scratch.candidate_slots, 10u);
    EXPECT_EQ(scratch.result_slots, 64u);
    Candidate* const results = scratch.result_buffer;
    Candidate* const candidates = scratch.candidate_buffer;

    ASSERT_TRUE(ensureCapacity(scratch, 8, 32));
    EXPECT_EQ(scratch.visited.bit_len, 10u);
    EXPECT_EQ(scratch.candidate_buffer, candidates);
    EXPECT_EQ(scratch.result_buffer, results);

    ASSERT_TRUE(ensureCapacity(scratch, 20, 64));
    EXPECT_EQ(scratch.visited.bit_len, 20u);
    EXPECT_EQ(scratch.candidate_slots, 20u);
    EXPECT_EQ(scratch.result_buffer, results);
    deinit(scratch);
    EXPECT_EQ(allocationStats().outstanding, outstanding);
}

TEST(TraversalScratch, FailedSizingLeavesScratchReleasableAndResizable) {
    const auto outstanding = allocationStats().outstanding;
    // Two sizings take eight allocations: bit set, its log of touched words,
    // candidates, results, twice.
    for (std::uint64_t failing = 1; failing <= 9; ++failing) {
        TraversalScratch scratch;
        armAllocationFailure(failing);
        const bool ok = ensureCapacity(scratch, 100, 8) && ensureCapacity(scratch, 1000, 80);
        disarmAllocationFailure();
        EXPECT_EQ(ok, failing == 9);
        EXPECT_LE(scratch.candidate_slots, 1000u);
        ASSERT_TRUE(ensureCapacity(scratch, 1000, 80));
        EXPECT_EQ(scratch.visited.bit_len, 1000u);
        EXPECT_EQ(scratch.candidate_slots, 1000u);
        EXPECT_EQ(scratch.result_slots, 80u);
        deinit(scratch);
    }
    EXPECT_EQ(allocationStats().outstanding, outstanding);
}

}  // namespace
}  // namespace korvane

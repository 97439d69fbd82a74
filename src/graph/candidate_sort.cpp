#include "graph/candidate_sort.h"

#include <cstdint>
#include <cstring>

namespace korvane {
namespace {

// Short sequences: insertion sort beats clearing a counting table.
constexpr std::size_t kInsertionSortLimit = 48;
constexpr std::size_t kDistanceValues = kRoutingBits + 1;

void insertionSort(Candidate* items, std::size_t len) {
    for (std::size_t i = 1; i < len; ++i) {
        const Candidate moving = items[i];
        std::size_t j = i;
        while (j > 0 && items[j - 1].distance > moving.distance) {
            items[j] = items[j - 1];
            --j;
        }
        items[j] = moving;
    }
}

// Distances are Hamming distances of 1024-bit codes, so a counting sort over
// 1025 values places every element directly and keeps equal ones in order.
void countingSort(Candidate* items, std::size_t len, Candidate* spare) {
    std::uint32_t starts[kDistanceValues + 1] = {};
    for (std::size_t i = 0; i < len; ++i) ++starts[items[i].distance + 1];
    for (std::size_t d = 1; d <= kDistanceValues; ++d) starts[d] += starts[d - 1];
    for (std::size_t i = 0; i < len; ++i) spare[starts[items[i].distance]++] = items[i];
    std::memcpy(static_cast<void*>(items), spare, len * sizeof(Candidate));
}

bool distancesInRange(const Candidate* items, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i)
        if (items[i].distance >= kDistanceValues) return false;
    return true;
}

}  // namespace

void sortByDistance(Candidate* items, std::size_t len, Candidate* spare, std::size_t spare_slots) {
    if (len <= kInsertionSortLimit || spare_slots < len || len > UINT32_MAX ||
        !distancesInRange(items, len)) {
        insertionSort(items, len);
        return;
    }
    countingSort(items, len, spare);
}

}  // namespace korvane

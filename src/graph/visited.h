// The visited set of a traversal: a bit per node number, cleared before each
// traversal by zeroing only the words that the previous ones set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/records.h"

namespace korvane {

// True on the first visit of `node`, which it then marks. A node number
// beyond the set's range counts as seen: a scratch sized too small then
// narrows the search instead of writing past its buffers.
inline bool firstVisit(TraversalScratch& scratch, std::uint64_t node) {
    if (node >= scratch.visited.bit_len) return false;
    const std::size_t word_index = std::size_t(node >> 6);
    std::uint64_t& word = scratch.visited.words[word_index];
    const std::uint64_t bit = std::uint64_t{1} << (node & 63);
    if (word & bit) return false;
    if (word == 0) {
        if (scratch.dirty_count < scratch.dirty_slots) scratch.dirty_words[scratch.dirty_count] = word_index;
        ++scratch.dirty_count;
    }
    word |= bit;
    return true;
}

// Clears every bit that firstVisit set, in time proportional to the words it
// touched rather than to the size of the set.
inline void clearVisited(TraversalScratch& scratch) {
    if (scratch.dirty_count > scratch.dirty_slots) {
        scratch.visited.clearAll();
    } else {
        for (std::size_t i = 0; i < scratch.dirty_count; ++i) scratch.visited.words[scratch.dirty_words[i]] = 0;
    }
    scratch.dirty_count = 0;
}

}  // namespace korvane

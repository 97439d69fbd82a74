// Sizing of the traversal scratch. Buffers are replaced, not grown: their
// contents are meaningless between traversals, so nothing is copied.
#include "common/memory.h"
#include "graph/heap.h"

namespace korvane {
namespace {

// Releases before allocating to keep the peak low; a failure leaves the
// buffer empty, which is safe to release and to size again.
bool replaceIfShort(Candidate*& buffer, std::size_t& slots, std::size_t wanted) {
    if (slots >= wanted) return true;
    releaseArray(buffer);
    buffer = nullptr;
    slots = 0;
    buffer = allocateArray<Candidate>(wanted);
    if (!buffer) return false;
    slots = wanted;
    return true;
}

// One log slot per word of the visited set, so the log cannot overflow. It
// grows geometrically, as insertion sizes the scratch one node at a time; a
// new log starts empty over a cleared set.
bool ensureDirtyLog(TraversalScratch& scratch) {
    const std::size_t words = scratch.visited.wordCount();
    if (scratch.dirty_slots >= words) return true;
    const std::size_t wanted = words < 2 * scratch.dirty_slots ? 2 * scratch.dirty_slots : words;
    auto* log = allocateArray<std::size_t>(wanted);
    if (!log) return false;
    scratch.visited.clearAll();
    releaseArray(scratch.dirty_words);
    scratch.dirty_words = log;
    scratch.dirty_slots = wanted;
    scratch.dirty_count = 0;
    return true;
}

}  // namespace

bool ensureCapacity(TraversalScratch& scratch, std::size_t node_capacity, std::size_t breadth) {
    if (!scratch.visited.grow(node_capacity) || !ensureDirtyLog(scratch)) return false;
    if (!replaceIfShort(scratch.candidate_buffer, scratch.candidate_slots, node_capacity)) return false;
    return replaceIfShort(scratch.result_buffer, scratch.result_slots, breadth);
}

}  // namespace korvane

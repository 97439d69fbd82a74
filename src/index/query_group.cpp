#include "index/query_group.h"

#include <cstring>
#include <new>

#include "common/memory.h"
#include "encoding/lane_dot.h"
#include "index/metric.h"
#include "index/query.h"

namespace korvane {
namespace {

// Rotates the next block of the stream, and routes it for Hamming walks;
// false when none is left.
bool fillFront(const Index& index, FrontBlock& front, const QueryStream& stream, bool route) {
    const std::uint64_t block = stream.next_block->fetch_add(1, std::memory_order_relaxed);
    if (block >= (stream.n_queries + stream.block_queries - 1) / stream.block_queries) return false;
    front.first = block * stream.block_queries;
    const std::uint64_t left = stream.n_queries - front.first;
    front.count = left < stream.block_queries ? static_cast<std::size_t>(left) : stream.block_queries;
    front.taken = 0;
    prepareBlock(index, stream.queries + front.first * index.shape.dim, front.count, front.rotated, front.room,
                 front.usable);
    if (route) routeBlock(index, front.rotated, front.count, front.projected, front.codes);
    return true;
}

// Everything `search` does up to the first walk step, with the rotation and
// routing code taken from the front block.
void startQuery(const Index& index, QuerySlot& slot, FrontBlock& front, const QueryStream& stream) {
    const std::size_t row = front.taken++;
    slot.query = front.first + row;
    const std::size_t padded = index.shape.padded;
    std::memcpy(slot.context.query_rotated, front.rotated + row * padded, padded * sizeof(float));
    if (!front.usable[row] || !readyToSearch(index, slot.context, stream.k)) {
        stream.counts[slot.query] = 0;
        slot.stage = SlotStage::Idle;
        return;
    }
    slot.candidates = CandidateList{nullptr, 0};
    slot.stage = SlotStage::Scoring;
    if (!hasGraphToWalk(index, slot.context)) return;
    if (slot.context.walk == Walk::Scored) {
        beginScoredWalk(index, slot.context, slot.scored_walk);
        slot.scored_walk.walk.guess_next = false;
    } else {
        slot.code = front.codes[row];
        beginWalk(index, slot.context, slot.code, slot.walk);
        slot.walk.guess_next = false;
    }
    slot.stage = SlotStage::Walking;
}

// One turn of a busy slot: a walk step, or the scoring once the walk is over.
void advance(const Index& index, QuerySlot& slot, const QueryStream& stream) {
    if (slot.context.walk == Walk::Scored && slot.stage == SlotStage::Walking) {
        if (stepScoredWalk(index, slot.context, slot.scored_walk)) return;
        stream.counts[slot.query] = finishScoredWalk(index, slot.context, slot.scored_walk,
                                                     stream.records + slot.query * stream.k, stream.k);
        slot.stage = SlotStage::Idle;
        return;
    }
    if (slot.stage == SlotStage::Walking) {
        if (stepLayerWalk(slot.walk, index.graph.layers[0], slot.code)) return;
        slot.candidates = finishLayerWalk(slot.walk);
        // Scoring comes a turn later, when these have arrived.
        prefetchFirstPayloads(index, slot.candidates);
        slot.stage = SlotStage::Scoring;
        return;
    }
    stream.counts[slot.query] = scoreCandidates(index, slot.context, slot.candidates,
                                                stream.records + slot.query * stream.k, stream.k);
    slot.stage = SlotStage::Idle;
}

// Starts queries on an idle slot until one needs a walk or scoring; false
// when the slot stays idle because the stream is exhausted.
bool refill(const Index& index, QuerySlot& slot, FrontBlock& front, const QueryStream& stream,
            bool& exhausted) {
    while (!exhausted && slot.stage == SlotStage::Idle) {
        if (front.taken == front.count && !fillFront(index, front, stream, slot.context.walk == Walk::Hamming)) {
            exhausted = true;
            break;
        }
        startQuery(index, slot, front, stream);
    }
    return slot.stage != SlotStage::Idle;
}

}  // namespace

Error initGroup(QueryGroup& group, const Index& index, std::uint64_t ef_search, std::size_t slots) {
    group = QueryGroup{};
    group.slots = allocateArray<QuerySlot>(slots);
    bool ok = group.slots && (group.front.room = allocateArray<float>(kFrontBlock * index.shape.dim)) &&
              (group.front.rotated = allocateArray<float>(kFrontBlock * index.shape.padded)) &&
              (group.front.projected = allocateArray<float>(kFrontBlock * kRoutingBits));
    for (; ok && group.slot_count < slots; ++group.slot_count) {
        QuerySlot* slot = new (&group.slots[group.slot_count]) QuerySlot{};
        if (initContext(slot->context, index, ef_search) != Error::Ok) {
            ok = false;
            break;
        }
    }
    if (!ok) {
        deinit(group);
        return Error::OutOfMemory;
    }
    return Error::Ok;
}

void deinit(QueryGroup& group) {
    for (std::size_t s = 0; s < group.slot_count; ++s) deinit(group.slots[s].context);
    releaseArray(group.slots);
    releaseArray(group.front.room);
    releaseArray(group.front.rotated);
    releaseArray(group.front.projected);
    group = QueryGroup{};
}

void answerQueries(const Index& index, QueryGroup& group, const QueryStream& stream) {
    for (std::size_t s = 0; s < group.slot_count; ++s) group.slots[s].stage = SlotStage::Idle;
    bool exhausted = false;
    std::size_t busy = 1;
    while (busy > 0) {
        busy = 0;
        for (std::size_t s = 0; s < group.slot_count; ++s) {
            QuerySlot& slot = group.slots[s];
            if (!refill(index, slot, group.front, stream, exhausted)) continue;
            advance(index, slot, stream);
            ++busy;
        }
    }
}

}  // namespace korvane

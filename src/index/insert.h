// Single insertion and removal.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "graph/records.h"
#include "index/index.h"

namespace korvane {

// Ok, DuplicateId, InvalidArgument (a cosine vector with no direction) or
// OutOfMemory; nothing changes on failure.
Error addVector(Index& index, std::uint64_t id, const float* vector);

// Inserts a rotated vector under an id the caller knows is absent.
Error insertRotated(Index& index, std::uint64_t id, const float* rotated);

// A node's raw copy in the index's raw mode, made ahead of its append: the
// rotated vector, for int8 copies its bytes and scale, and for a Euclidean
// index its squared length.
struct RawCopy {
    const float* rotated;
    const std::int8_t* bytes;
    float scale;
    float squared_length;
};

// Makes the raw copy of a rotated vector, writing int8 bytes (`padded`) to
// `bytes` when the raw mode keeps them. Reads the index's shape and raw mode.
RawCopy makeRawCopy(const Index& index, const float* rotated, std::int8_t* bytes);

// Room for the payloads, raw copies and id-map entries of `extra` more
// nodes, grown as that many single appends would grow it. False on
// failure; what was reserved stays reserved.
bool reserveNodeData(Index& index, std::size_t extra);
// How many more nodes' data fit without growth.
std::size_t nodeDataRoom(const Index& index);

// Appends a new node's payload and raw copy and secures its id-map entry, so
// nothing can fail once the node is linked into the graph. False on failure,
// with the per-node arrays unchanged.
bool appendNodeData(Index& index, const TurboQuantPayload& payload, const RawCopy& raw);
// Maps the id to node n; its entry was secured by appendNodeData.
void registerNode(Index& index, std::uint64_t id, std::uint64_t n);
// Cuts payloads and raw stores back to n nodes (storage kept).
void rollBackTo(Index& index, std::uint64_t n);

// Ok, NotFound or OutOfMemory; a failed removal changes nothing.
Error removeId(Index& index, std::uint64_t id);

}  // namespace korvane

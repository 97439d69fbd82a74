// Single insertion and removal.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "graph/records.h"
#include "index/index.h"

namespace korvane {

// Ok, DuplicateId (nothing changed) or OutOfMemory (nothing changed).
Error addVector(Index& index, std::uint64_t id, const float* vector);

// Inserts a rotated vector under an id the caller knows is absent.
Error insertRotated(Index& index, std::uint64_t id, const float* rotated);

// Raw copy of a rotated vector by raw mode (appends); false on failure with
// the stores unchanged.
bool appendRawCopy(Index& index, const float* rotated);

// Appends a new node's payload and raw copy and secures its id-map entry, so
// nothing can fail once the node is linked into the graph. False on failure,
// with the per-node arrays back at their former lengths.
bool appendNodeData(Index& index, const TurboQuantPayload& payload, const float* rotated);
// Maps the id to node n; its entry was secured by appendNodeData.
void registerNode(Index& index, std::uint64_t id, std::uint64_t n);
// Cuts payloads and raw stores back to n nodes (storage kept).
void rollBackTo(Index& index, std::uint64_t n);

// Ok, NotFound or OutOfMemory; a failed removal changes nothing.
Error removeId(Index& index, std::uint64_t id);

}  // namespace korvane

// Exported lifecycle and size functions.
#include "api/handles.h"
#include "index/index.h"
#include "korvane.h"

extern "C" {

korvane_index* korvane_index_create(uint64_t ef_construction, uint64_t seed) {
    return korvane::toHandle(korvane::createIndex(ef_construction, seed));
}

void korvane_index_destroy(korvane_index* index) { korvane::destroyIndex(korvane::fromHandle(index)); }

uint64_t korvane_index_len(const korvane_index* index) { return korvane::fromHandle(index)->live_count; }

uint64_t korvane_index_memory_bytes(const korvane_index* index) {
    return korvane::memoryBytes(*korvane::fromHandle(index));
}

uint32_t korvane_dim(void) { return KORVANE_DIM; }

uint32_t korvane_routing_bits(void) { return KORVANE_ROUTING_BITS; }

}  // extern "C"

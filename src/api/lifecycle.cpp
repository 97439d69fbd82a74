// Exported lifecycle and size functions.
#include "korvane.h"

#include "api/handles.h"
#include "index/index.h"

static_assert(KORVANE_STORE_NONE == korvane::kRawNone && KORVANE_STORE_F32 == korvane::kRawF32 &&
                  KORVANE_STORE_I8 == korvane::kRawI8,
              "the store values are the raw modes of the index and its files");

extern "C" {

korvane_index* korvane_index_create(uint64_t ef_construction, uint64_t seed) {
    return korvane::toHandle(korvane::createIndex(ef_construction, seed));
}

void korvane_index_destroy(korvane_index* index) { korvane::destroyIndex(korvane::fromHandle(index)); }

uint64_t korvane_index_len(const korvane_index* index) { return korvane::fromHandle(index)->live_count; }

uint64_t korvane_index_memory_bytes(const korvane_index* index) {
    return korvane::memoryBytes(*korvane::fromHandle(index));
}

korvane_index* korvane_index_create_with_store(uint64_t ef_construction, uint64_t seed, uint32_t raw_store) {
    if (!korvane::isRawMode(raw_store)) return nullptr;
    return korvane::toHandle(korvane::createIndex(ef_construction, seed, static_cast<std::uint8_t>(raw_store)));
}

uint32_t korvane_index_raw_store(const korvane_index* index) { return korvane::fromHandle(index)->raw_mode; }

uint32_t korvane_dim(void) { return KORVANE_DIM; }

uint32_t korvane_routing_bits(void) { return KORVANE_ROUTING_BITS; }

}  // extern "C"

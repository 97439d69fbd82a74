// Exported lifecycle and size functions.
#include "api/handles.h"
#include "index/index.h"
#include "korvane.h"

static_assert(KORVANE_STORE_NONE == int(korvane::RawMode::None) && KORVANE_STORE_F32 == int(korvane::RawMode::F32) &&
                  KORVANE_STORE_I8 == int(korvane::RawMode::I8),
              "the store values are the raw modes of the index and its files");
static_assert(KORVANE_METRIC_IP == int(korvane::Metric::InnerProduct) &&
                  KORVANE_METRIC_COSINE == int(korvane::Metric::Cosine) &&
                  KORVANE_METRIC_L2 == int(korvane::Metric::Euclidean) && KORVANE_MAX_DIM == korvane::kMaxDim,
              "the metric values are those of the index and its files");

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
    return korvane::toHandle(korvane::createIndex(ef_construction, seed, static_cast<korvane::RawMode>(raw_store)));
}

uint32_t korvane_index_raw_store(const korvane_index* index) {
    return static_cast<uint32_t>(korvane::fromHandle(index)->raw_mode);
}

korvane_index* korvane_index_create_with_options(uint32_t dim, uint32_t metric, uint32_t raw_store,
                                                 uint64_t ef_construction, uint64_t seed) {
    if (!korvane::isShapeValid(dim, metric) || !korvane::isRawMode(raw_store)) return nullptr;
    const korvane::Shape shape = korvane::makeShape(dim, static_cast<korvane::Metric>(metric));
    return korvane::toHandle(
        korvane::createIndex(ef_construction, seed, static_cast<korvane::RawMode>(raw_store), shape));
}

uint32_t korvane_index_dim(const korvane_index* index) { return korvane::fromHandle(index)->shape.dim; }

uint32_t korvane_index_metric(const korvane_index* index) {
    return static_cast<uint32_t>(korvane::fromHandle(index)->shape.metric);
}

uint32_t korvane_dim(void) { return KORVANE_DIM; }

uint32_t korvane_routing_bits(void) { return KORVANE_ROUTING_BITS; }

}  // extern "C"

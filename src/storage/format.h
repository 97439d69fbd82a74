// The index file image: writer and reader over memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "common/vec.h"
#include "index/index.h"
#include "storage/format_layout.h"

namespace korvane {

// The file's shape fields are this build's shape: a file is read straight
// into the in-memory records.
static_assert(kFileDim == kDefaultDim && kMaxFileDim == kMaxDim && kFileDegree == kDegree &&
              kFileRoutingBits == kRoutingBits);
static_assert(kFileMetricCount == kMetricCount && kFileMetricEuclidean == std::uint32_t(Metric::Euclidean));
static_assert(kMaxLayers == kTopLevel + 1);
static_assert(kCodeBytes == sizeof(RoutingCode) && kFileDim / 8 == kCodeGroups);
static_assert(kRawModeNone == static_cast<std::uint8_t>(RawMode::None) &&
              kRawModeF32 == static_cast<std::uint8_t>(RawMode::F32) &&
              kRawModeI8 == static_cast<std::uint8_t>(RawMode::I8));

struct ByteView {
    const std::uint8_t* data;
    std::size_t len;
};

struct LoadedIndex {
    Index index;
    Vec<ByteView> node_metadata;
    Vec<std::uint8_t> metadata_bytes;
};

// node_metadata has exactly payloads.len entries (nullptr: all empty).
Error serialize(const Index& index, const ByteView* node_metadata, Vec<std::uint8_t>& out);

// On success `out` owns everything; on failure nothing is left allocated.
// Files of every shape are read.
Error deserialize(const std::uint8_t* bytes, std::size_t len, LoadedIndex& out);
void deinit(LoadedIndex& loaded);

}  // namespace korvane

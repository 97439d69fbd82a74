// The index file image: writer and reader over memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "common/vec.h"
#include "index/index.h"

namespace korvane {

constexpr std::size_t kHeaderBytes = 46;
constexpr std::size_t kPayloadRecordBytes = 116;
constexpr std::size_t kNodeRecordBaseBytes = 140;

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
Error deserialize(const std::uint8_t* bytes, std::size_t len, LoadedIndex& out);
void deinit(LoadedIndex& loaded);

}  // namespace korvane

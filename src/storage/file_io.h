// Save and load of index files.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "index/index.h"

namespace korvane {

constexpr std::size_t kMaxPathBytes = 1023;

// Ok, InvalidArgument (path too long), OutOfMemory (no staging buffer) or
// IoFailure (any failure of the write itself); an existing file is replaced
// atomically.
Error saveIndex(const Index& index, const char* path);
// nullptr on any failure; unless `any_shape`, also for a file whose index is
// not of the default shape.
Index* loadIndex(const char* path, bool any_shape = false);

}  // namespace korvane

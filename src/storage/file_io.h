// Save and load of index files.
#pragma once

#include <cstdint>

#include "index/index.h"

namespace korvane {

constexpr std::size_t kMaxPathBytes = 1023;

// 0 on success, -1 on failure; an existing file is replaced atomically.
int saveIndex(const Index& index, const char* path);
Index* loadIndex(const char* path);

}  // namespace korvane

// Batch insertion.
#pragma once

#include <cstdint>

#include "index/index.h"
#include "index/insert.h"

namespace korvane {

AddStatus addBatch(Index& index, const std::uint64_t* ids, const float* vectors,
                   std::uint64_t count, std::uint64_t threads);

}  // namespace korvane

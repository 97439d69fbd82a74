// Stable ordering of candidates by ascending distance, without allocation.
#pragma once

#include <cstddef>

#include "graph/records.h"

namespace korvane {

// Sorts items[0..len) by distance; equal distances keep their relative order.
// `spare` (may be null) is working room of `spare_slots` elements; with
// enough of it long sequences are sorted in linear time.
void sortByDistance(Candidate* items, std::size_t len, Candidate* spare, std::size_t spare_slots);

}  // namespace korvane

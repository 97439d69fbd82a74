// The Index record and its lifecycle.
#pragma once

#include <cstdint>

#include "common/bitset.h"
#include "common/error.h"
#include "common/hash_map.h"
#include "common/vec.h"
#include "encoding/payload.h"
#include "encoding/reduced_projection.h"
#include "graph/records.h"

namespace korvane {

// Which raw copy of each vector the index keeps for exact re-scoring; the
// values are the file's raw-mode byte.
enum class RawMode : std::uint8_t {
    None = 0,
    F32 = 1,  // `padded` f32
    I8 = 2,   // `padded` i8 and a f32 scale
};
inline bool isRawMode(std::uint64_t value) { return value <= std::uint64_t(RawMode::I8); }

struct Index {
    Shape shape;                          // dimension, padded length, metric
    std::uint64_t seed = 0;               // what the matrices were drawn from
    float* rotation = nullptr;            // rotationFloats(dim): 256 x 256 by default; whole pages
    std::uint32_t* rotation_order = nullptr;  // `dim` entries, only with more than one rotation block
    float* projection = nullptr;          // 1024 x padded, whole pages
    float* projection_scratch = nullptr;  // 1024
    ReducedProjection reduced_projection; // derived from `projection`, never saved
    PayloadStore payloads;
    RoutingGraph graph;
    float* rotated_scratch = nullptr;     // padded
    Vec<float> calibration_mean;          // 0 or 256 values (default shape only)
    Vec<float> calibration_std;
    float* spare_scratch = nullptr;       // padded, reserved
    Vec<float> raw_f32;
    Vec<std::int8_t> raw_i8;
    Vec<float> raw_scales;
    // Euclidean indexes only. Sign codes see angles, so stored and queried
    // vectors are taken relative to a centre inside the data (the mean of
    // the first vectors added) rather than to the origin; each node keeps
    // its squared length about that centre, which turns the inner products
    // of the scorers into squared distances.
    float* centre = nullptr;              // padded, rotated; set by the first addition
    bool centred = false;
    Vec<float> squared_norms;
    U64Map<std::uint64_t> id_to_node;
    BitSet tombstones;
    std::uint64_t live_count = 0;
    RawMode raw_mode = RawMode::I8;
    bool calibrated = false;
};

// Allocates the fixed arrays of a shape (matrices uninitialised) and sets
// every other field to its initial state. On failure releases what it took.
Error initIndexStorage(Index& index, std::uint64_t ef_construction, const Shape& shape = kDefaultShape);
// Draws the matrices from the seed into allocated storage and derives the
// reduced projection. Cannot fail.
void generateMatrices(Index& index, std::uint64_t seed);

// Creation: storage, then the matrices from the seed. nullptr on failure.
Index* createIndex(std::uint64_t ef_construction, std::uint64_t seed, RawMode raw_mode = RawMode::I8,
                   const Shape& shape = kDefaultShape);
void destroyIndex(Index* index);
void deinit(Index& index);

std::uint64_t memoryBytes(const Index& index);

// Removal flag of a node (bits beyond the set read as clear).
inline bool isRemoved(const Index& index, std::uint64_t node) {
    return index.tombstones.test(node);
}

// The calibration arrays as encoding and scoring take them: nullptr when the
// index is not calibrated.
inline const float* calibrationMean(const Index& index) {
    return index.calibrated ? index.calibration_mean.data : nullptr;
}
inline const float* calibrationStd(const Index& index) {
    return index.calibrated ? index.calibration_std.data : nullptr;
}

// True when every payload has its raw copy in the index's raw mode.
bool hasCompleteRawStore(const Index& index);

}  // namespace korvane

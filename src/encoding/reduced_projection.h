// Routing codes from a reduced-precision copy of the projection matrix,
// verified: each of the 1024 projections is first estimated with exact
// integer arithmetic from 12-bit matrix levels and 13-bit query levels, with
// a rigorous bound on how far the estimate can be from what the exact
// four-lane kernel returns. A row whose estimate is farther from zero than
// its bound has the sign of the exact projection; only the rows within their
// bound of zero are computed again with the exact kernel. The code is
// therefore the exact code, bit for bit, at a fraction of the exact cost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"
#include "common/routing_code.h"
#include "common/shape.h"

namespace korvane {

constexpr std::int32_t kMatrixLevelLimit = 2047;  // |matrix level|
// Rows per code word, the unit in which the levels are laid out and decided.
constexpr std::size_t kRowsPerWord = 64;

// Derived from the projection matrix when an index is created or loaded;
// never stored in files. Levels are laid out word by word: for code word w,
// column pair p and row i of the word, the two int16 levels of columns 2p and
// 2p + 1 sit at ((w * pairs + p) * 64 + i) * 2, so one 32-bit load holds a
// row's pair and consecutive rows follow each other.
//
// The row length n (the shape's padded length) sets how fine the query's
// levels may be so that no 32-bit sum can wrap (n * 2047 * limit < 2^31),
// and how much the exact kernel's rounding can add (n / 4 + 3 roundings).
struct ReducedProjection {
    std::size_t columns = 0;              // n
    std::size_t pairs = 0;                // n / 2
    int query_level_bits = 12;            // max |y| / t < 2^bits
    std::int32_t query_level_limit = 4095;
    double kernel_rounding = 0x1p-16;     // relative error of the exact kernel, rounded up
    double underflow_error = 0x1p-140;    // its absolute error from subnormal results
    std::int16_t* levels = nullptr;       // 1024 x n, in the layout above
    float* bound_coefficient = nullptr;   // per row: (||M - sQ|| + g ||M||) / s, rounded up; +inf: always exact
    float* level_norm = nullptr;          // per row: ||Q||, rounded up
    float* inverse_scale = nullptr;       // per row: 1 / s, rounded up
    double max_row_norm = 0.0;            // largest ||M|| over the estimable rows, rounded up
};

// What a query contributes to every row's bound, in units of its level step
// t: the bound of row b, divided by s_b t, is
//   bound_coefficient[b] * norm_units + level_norm[b] * residual_units
//   + inverse_scale[b] * underflow_units.
struct QueryLevels {
    alignas(64) std::int16_t levels[kMaxPadded];
    float norm_units;
    float residual_units;
    float underflow_units;
};

// Storage for the reduced copy of a projection with rows of `columns`
// floats (whole pages); false when out of memory.
bool allocateReducedProjection(ReducedProjection& reduced, std::size_t columns = kDefaultDim);
// Fills allocated storage from the matrix. Cannot fail.
void deriveReducedProjection(const float* projection, ReducedProjection& reduced);
void deinit(ReducedProjection& reduced);

// False when the vector has a non-finite or only zero components, or its
// bound is not finite or would not hold: the caller then takes the exact path.
bool quantizeQuery(const float* rotated, const ReducedProjection& reduced, QueryLevels& query);

// The exact routing code of a rotated vector (the bits routingCodeOf gives
// for projectVector's output). `projections` is working room for 1024 floats.
RoutingCode verifiedRoutingCode(const float* projection, const ReducedProjection& reduced,
                                const float* rotated, float* projections);
// The same with the kernels of a named path, for tests and benchmarks.
RoutingCode verifiedRoutingCodeOn(SimdPath path, const float* projection, const ReducedProjection& reduced,
                                  const float* rotated, float* projections);

// How many rows the estimate leaves to the exact kernel for this vector (all
// of them when the vector takes the exact path). For tests and benchmarks.
std::size_t undecidedRows(const ReducedProjection& reduced, const float* rotated);

// Signs of the rows of one code word that the estimate decides, and the rows
// it leaves undecided: bit i of `positive` is set when row 64 w + i is
// certainly > 0; bit i of `undecided` when it must be computed exactly.
struct WordSigns {
    std::uint64_t positive;
    std::uint64_t undecided;
};

// The family's kernels for one path.
struct RoutingEstimateKernels {
    WordSigns (*estimate_word)(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word);
};

// The kernels of a named path (by the fallback rule of common/cpu.h); and
// those of the process's path, chosen once.
const RoutingEstimateKernels& routingEstimateKernelsFor(SimdPath path);
const RoutingEstimateKernels& routingEstimateKernels();

// One row's decision from its integer estimate and its bound, both in units
// of s_b t. The same float operations on every path.
inline void decideRow(std::int32_t estimate, float coefficient, float level_norm, float inverse_scale,
                      const QueryLevels& query, bool& positive, bool& undecided) {
    const float bound = (coefficient * query.norm_units + level_norm * query.residual_units) +
                        inverse_scale * query.underflow_units;
    const float value = static_cast<float>(estimate);
    positive = value > bound;
    undecided = !positive && !(value < -bound);
}

}  // namespace korvane

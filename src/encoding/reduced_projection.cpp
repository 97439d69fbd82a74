// Why a decided row has the sign of the exact projection.
//
// Notation for one row b: M (256 floats of the matrix), y (the rotated
// vector), p the float that the exact kernel (laneDot) returns, T = sum M_j y_j
// the real dot product. The reduced copy holds integer levels Q_j with
// |Q_j| <= 2047 and a float scale s > 0; the query holds integer levels R_j
// with |R_j| <= 4095 and the power-of-two step t. The estimate is the integer
// I = sum Q_j R_j, computed exactly: every partial sum, in any order, is at
// most 256 * 2047 * 4095 < 2^31 in magnitude, so 32-bit lanes never wrap.
//
// The numbers here are those of rows of 256; a row of n = 256 m floats
// (m > 1) keeps every step with the query's levels limited to
// 2^(12 - ceil(log2 m)) - 1, so n * 2047 * limit < 2^31 still; with at most
// n / 4 + 3 roundings, whose relative bound 2^-16 m covers; and with the
// subnormal term 2^-140 m for its n + 3 operations. The first product of
// step 4 stays above 2^6 since c grows with m as the query's levels shrink.
// It stands for the real number a = s t I.
//
// 1. Reduction error. T - a = sum (M_j - s Q_j) y_j + sum s Q_j (y_j - t R_j),
//    so by Cauchy-Schwarz |T - a| <= ||M - sQ|| ||y|| + s ||Q|| ||y - tR||.
// 2. Rounding of the exact kernel. Each product M_j y_j enters its lane by a
//    fused multiply-add and then passes through at most 63 more of them and
//    the three final additions: at most 67 roundings of relative size
//    u <= 2^-23 (2^-24 when rounding to nearest; the bound holds in every
//    rounding mode). While nothing overflows, the standard bound for such
//    sums gives |p - T| <= g67 sum |M_j y_j| + (absolute errors of results
//    that fell into the subnormal range: at most 2^-149 for each of the 259
//    operations, slightly amplified by later roundings) with
//    g67 = 67u / (1 - 67u) < 2^-16, so |p - T| <= 2^-16 ||M|| ||y|| + 2^-140.
//    No intermediate overflows when (1 + 2^-16) ||M|| ||y|| + 2^-140 stays
//    below the largest float, which ||M|| ||y|| <= 2^126 guarantees; wider
//    vectors take the exact path.
// 3. Together |p - a| <= E = (||M - sQ|| + 2^-16 ||M||) ||y|| + s ||Q|| ||y - tR||
//    + 2^-140 = s t K with
//    K = c * (||y|| / t) + ||Q|| * (||y - tR|| / t) + (1 / s) * (2^-140 / t),
//    c = (||M - sQ|| + 2^-16 ||M||) / s.
//    If |I| > K then |a| = s t |I| > E >= |p - a|, so p is not zero and has
//    the sign of I: bit b is 1 exactly when I > 0.
// 4. Evaluating K. Every factor above is computed in double from float
//    inputs (squares of floats and their differences stay in double's normal
//    range, so each of the at most ~260 operations of a norm adds a relative
//    error of at most 2^-52, and a sum of positive terms keeps the relative
//    bound), then enlarged by 2^-40 relatively, which covers all of it. The
//    per-row factors are stored as floats rounded upwards. The per-query
//    factors are enlarged by a further 2^-20 relatively before they are
//    rounded to float. decideRow then forms K with three products and two
//    sums in float and converts I to float: five roundings of relative size
//    at most 2^-23 each. The first product is at least 2^6 (c >= 2^-16 * 2047
//    * ||M|| / max|M_j|, ||y|| / t >= 2^11), so a product that underflows
//    loses at most 2^-149, relatively below 2^-150 of the float K. Hence
//    float(I) > float K implies |I| > K, because
//    (1 + 2^-20) (1 - 2^-23)^4 > (1 + 2^-23) (1 + 2^-150). Only finite
//    comparisons decide: NaN or infinite factors leave the row undecided.
#include "encoding/reduced_projection.h"

#include <cmath>
#include <limits>

#include "common/memory.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/reduced_projection_kernels.h"

namespace korvane {
namespace {

constexpr double kNormSlack = 1.0 + 0x1p-40;
constexpr double kQuerySlack = 1.0 + 0x1p-20;
constexpr double kWidestProduct = 0x1p126;

std::size_t levelCount(std::size_t columns) { return kRoutingBits * columns; }
std::size_t reducedBytes(std::size_t columns) {
    return levelCount(columns) * sizeof(std::int16_t) + 3 * kRoutingBits * sizeof(float);
}

std::size_t levelOffset(const ReducedProjection& reduced, std::size_t row, std::size_t column) {
    const std::size_t word = row / kRowsPerWord;
    const std::size_t pair = column / 2;
    return ((word * reduced.pairs + pair) * kRowsPerWord + row % kRowsPerWord) * 2 + column % 2;
}

// How the bound's constants grow with the row length (see the top).
void setRowLength(ReducedProjection& reduced, std::size_t columns) {
    std::size_t m = (columns + kDefaultDim - 1) / kDefaultDim;
    int halvings = 0;
    while ((std::size_t{1} << halvings) < m) ++halvings;
    reduced.columns = columns;
    reduced.pairs = columns / 2;
    reduced.query_level_bits = 12 - halvings;
    reduced.query_level_limit = (std::int32_t{1} << reduced.query_level_bits) - 1;
    if (m == 0) m = 1;
    reduced.kernel_rounding = 0x1p-16 * double(m);
    reduced.underflow_error = 0x1p-140 * double(m);
}

// The smallest float not below a non-negative double (+inf beyond range).
float roundedUp(double value) {
    float f = static_cast<float>(value);
    if (static_cast<double>(f) < value) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// Nearest integer (ties to even) of |x| < 2^51, clamped to [-limit, limit].
// Adding and subtracting 1.5 * 2^52 rounds in the current (nearest) mode
// without a library call.
double levelOf(double x, double limit) {
    constexpr double kShift = 0x1.8p52;
    const double level = (x + kShift) - kShift;
    return level > limit ? limit : level < -limit ? -limit : level;
}

double normUpper(double sum_of_squares) { return std::sqrt(sum_of_squares) * kNormSlack; }

// A row that cannot be estimated soundly (a non-finite or zero entry range, or
// a scale that leaves the float range) always takes the exact path.
void markExactRow(ReducedProjection& reduced, std::size_t row) {
    for (std::size_t j = 0; j < reduced.columns; ++j) reduced.levels[levelOffset(reduced, row, j)] = 0;
    reduced.bound_coefficient[row] = std::numeric_limits<float>::infinity();
    reduced.level_norm[row] = 0.0f;
    reduced.inverse_scale[row] = std::numeric_limits<float>::infinity();
}

// The largest magnitude of n floats; +inf when any of them is not finite.
double maxMagnitude(const float* values, std::size_t n) {
    double largest = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double magnitude = std::fabs(static_cast<double>(values[j]));
        if (!(magnitude <= std::numeric_limits<float>::max())) return std::numeric_limits<double>::infinity();
        if (magnitude > largest) largest = magnitude;
    }
    return largest;
}

// Levels and bound factors of one row; returns the row's norm (0 for a row
// that takes the exact path).
double reduceRow(const float* row, std::size_t b, ReducedProjection& reduced) {
    const double largest = maxMagnitude(row, reduced.columns);
    const float scale = static_cast<float>(largest / kMatrixLevelLimit);
    if (!std::isfinite(largest) || !(scale > 0.0f) || !std::isfinite(1.0 / scale)) {
        markExactRow(reduced, b);
        return 0.0;
    }
    double residual_squares = 0.0, row_squares = 0.0;
    std::int64_t level_squares = 0;
    for (std::size_t j = 0; j < reduced.columns; ++j) {
        const double m = row[j];
        const double level = levelOf(m / scale, kMatrixLevelLimit);
        const auto q = static_cast<std::int16_t>(level);
        reduced.levels[levelOffset(reduced, b, j)] = q;
        const double residual = m - static_cast<double>(scale) * q;
        residual_squares += residual * residual;
        row_squares += m * m;
        level_squares += std::int64_t{q} * q;
    }
    const double row_norm = normUpper(row_squares);
    const double coefficient = (normUpper(residual_squares) + reduced.kernel_rounding * row_norm) / scale * kNormSlack;
    reduced.bound_coefficient[b] = roundedUp(coefficient);
    reduced.level_norm[b] = roundedUp(normUpper(static_cast<double>(level_squares)));
    reduced.inverse_scale[b] = roundedUp(1.0 / scale * kNormSlack);
    return row_norm;
}

// The code of the exact path: every row by the exact kernel.
RoutingCode exactRoutingCode(const LaneDotKernels& exact, const float* projection, const float* rotated,
                             float* projections, std::size_t columns) {
    exact.mat_vec(projection, kRoutingBits, rotated, projections, columns);
    return routingCodeOf(projections);
}

// The rows the estimate left open, by the exact kernel.
std::uint64_t exactBits(const LaneDotKernels& exact, const float* projection, const float* rotated,
                        std::size_t word, std::uint64_t undecided, std::size_t columns) {
    std::uint64_t bits = 0;
    while (undecided) {
        const int i = __builtin_ctzll(undecided);
        undecided &= undecided - 1;
        const float p = exact.lane_dot(projection + (word * kRowsPerWord + i) * columns, rotated, columns);
        bits |= std::uint64_t(p > 0.0f) << i;
    }
    return bits;
}

RoutingCode verifiedCode(const LaneDotKernels& exact, const RoutingEstimateKernels& estimate,
                         const float* projection, const ReducedProjection& reduced, const float* rotated,
                         float* projections) {
    QueryLevels query;
    if (!reduced.levels || !quantizeQuery(rotated, reduced, query))
        return exactRoutingCode(exact, projection, rotated, projections, reduced.columns);
    RoutingCode code;
    for (std::size_t w = 0; w < kRoutingWords; ++w) {
        const WordSigns signs = estimate.estimate_word(reduced, query, w);
        code.words[w] = signs.positive | exactBits(exact, projection, rotated, w, signs.undecided, reduced.columns);
    }
    return code;
}

}  // namespace

bool allocateReducedProjection(ReducedProjection& reduced, std::size_t columns) {
    auto* block = static_cast<unsigned char*>(allocatePages(reducedBytes(columns)));
    if (!block) return false;
    setRowLength(reduced, columns);
    reduced.levels = reinterpret_cast<std::int16_t*>(block);
    reduced.bound_coefficient = reinterpret_cast<float*>(block + levelCount(columns) * sizeof(std::int16_t));
    reduced.level_norm = reduced.bound_coefficient + kRoutingBits;
    reduced.inverse_scale = reduced.level_norm + kRoutingBits;
    return true;
}

void deriveReducedProjection(const float* projection, ReducedProjection& reduced) {
    double widest = 0.0;
    for (std::size_t b = 0; b < kRoutingBits; ++b) {
        const double norm = reduceRow(projection + b * reduced.columns, b, reduced);
        if (norm > widest) widest = norm;
    }
    reduced.max_row_norm = widest;
}

void deinit(ReducedProjection& reduced) {
    if (reduced.levels) releasePages(reduced.levels, reducedBytes(reduced.columns));
    reduced = ReducedProjection{};
}

bool quantizeQuery(const float* rotated, const ReducedProjection& reduced, QueryLevels& query) {
    const double largest = maxMagnitude(rotated, reduced.columns);
    if (!std::isfinite(largest) || largest == 0.0) return false;
    int exponent = 0;
    std::frexp(largest, &exponent);  // largest < 2^exponent
    const double step = std::ldexp(1.0, exponent - reduced.query_level_bits);
    const double inverse_step = std::ldexp(1.0, reduced.query_level_bits - exponent);  // exact: a power of two
    double squares = 0.0, residual_squares = 0.0;
    for (std::size_t j = 0; j < reduced.columns; ++j) {
        const double y = rotated[j];
        const double level = levelOf(y * inverse_step, reduced.query_level_limit);
        query.levels[j] = static_cast<std::int16_t>(level);
        const double residual = y - step * level;
        squares += y * y;
        residual_squares += residual * residual;
    }
    const double norm = normUpper(squares);
    if (!(norm * reduced.max_row_norm <= kWidestProduct)) return false;
    query.norm_units = roundedUp(norm / step * kQuerySlack);
    query.residual_units = roundedUp(normUpper(residual_squares) / step * kQuerySlack);
    query.underflow_units = roundedUp(reduced.underflow_error / step * kQuerySlack);
    return std::isfinite(query.norm_units) && std::isfinite(query.residual_units) &&
           std::isfinite(query.underflow_units);
}

RoutingCode verifiedRoutingCodeOn(SimdPath path, const float* projection, const ReducedProjection& reduced,
                                  const float* rotated, float* projections) {
    return verifiedCode(laneDotKernelsFor(path), routingEstimateKernelsFor(path), projection, reduced, rotated,
                        projections);
}

RoutingCode verifiedRoutingCode(const float* projection, const ReducedProjection& reduced, const float* rotated,
                                float* projections) {
    return verifiedCode(laneDotKernels(), routingEstimateKernels(), projection, reduced, rotated, projections);
}

const RoutingEstimateKernels& routingEstimateKernelsFor(SimdPath path) {
    static constexpr RoutingEstimateKernels kByPath[kSimdPathCount] = {
        {estimateWordScalar}, {estimateWordAvx2}, {estimateWordAvx512}};
    return kernelsAtOrBelow(kByPath, path);
}

const RoutingEstimateKernels& routingEstimateKernels() {
    static const RoutingEstimateKernels& chosen = routingEstimateKernelsFor(activeSimdPath());
    return chosen;
}

std::size_t undecidedRows(const ReducedProjection& reduced, const float* rotated) {
    QueryLevels query;
    if (!reduced.levels || !quantizeQuery(rotated, reduced, query)) return kRoutingBits;
    std::size_t count = 0;
    for (std::size_t w = 0; w < kRoutingWords; ++w)
        count += std::size_t(__builtin_popcountll(routingEstimateKernels().estimate_word(reduced, query, w).undecided));
    return count;
}

}  // namespace korvane

#include "index/metric.h"

#include <algorithm>
#include <cmath>

#include "encoding/lane_dot.h"
#include "encoding/projection.h"

namespace korvane {

bool hasDirection(const float* x, std::size_t dim) {
    bool nonzero = false;
    for (std::size_t j = 0; j < dim; ++j) {
        if (!std::isfinite(x[j])) return false;
        nonzero |= x[j] != 0.0f;
    }
    return nonzero;
}

bool normalizeVector(const float* x, std::size_t dim, float* out) {
    if (!hasDirection(x, dim)) return false;
    // Squares of floats neither overflow nor vanish in double, so the sum is
    // positive and finite.
    double squares = 0.0;
    for (std::size_t j = 0; j < dim; ++j) squares += double(x[j]) * double(x[j]);
    const double length = std::sqrt(squares);
    for (std::size_t j = 0; j < dim; ++j) out[j] = static_cast<float>(double(x[j]) / length);
    return true;
}

void prepareBlock(const Index& index, const float* xs, std::size_t count, float* rotated, float* room,
                  bool* usable) {
    const Shape& shape = index.shape;
    for (std::size_t v = 0; v < count; ++v) usable[v] = true;
    if (shape.metric == Metric::Cosine) {
        for (std::size_t v = 0; v < count; ++v) {
            float* unit = room + v * shape.dim;
            usable[v] = normalizeVector(xs + v * shape.dim, shape.dim, unit);
            if (!usable[v]) std::fill(unit, unit + shape.dim, 0.0f);
        }
        xs = room;
    }
    rotateShaped(shape, index.rotation, index.rotation_order, xs, count, rotated);
    if (shape.metric != Metric::Euclidean || !index.centred) return;
    for (std::size_t v = 0; v < count; ++v) {
        float* row = rotated + v * shape.padded;
        for (std::size_t j = 0; j < shape.dim; ++j) row[j] = row[j] - index.centre[j];
    }
}

bool prepareVector(const Index& index, const float* x, float* rotated) {
    float room[kMaxDim];
    bool usable = false;
    prepareBlock(index, x, 1, rotated, room, &usable);
    return usable;
}

float squaredLength(const Index& index, const float* rotated) {
    return laneDot(rotated, rotated, index.shape.padded);
}

void setCentreOnce(Index& index, const float* vectors, std::uint64_t count) {
    const Shape& shape = index.shape;
    if (shape.metric != Metric::Euclidean || index.centred) return;
    double sums[kMaxDim] = {};
    std::uint64_t used = 0;
    for (std::uint64_t v = 0; v < count; ++v) {
        const float* x = vectors + v * shape.dim;
        bool finite = true;
        for (std::size_t j = 0; j < shape.dim && finite; ++j) finite = std::isfinite(x[j]);
        if (!finite) continue;
        for (std::size_t j = 0; j < shape.dim; ++j) sums[j] += x[j];
        ++used;
    }
    float mean[kMaxDim] = {};
    if (used > 0)
        for (std::size_t j = 0; j < shape.dim; ++j) mean[j] = static_cast<float>(sums[j] / double(used));
    rotateShaped(shape, index.rotation, index.rotation_order, mean, 1, index.centre);
    index.centred = true;
}

}  // namespace korvane

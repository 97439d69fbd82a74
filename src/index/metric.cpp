#include "index/metric.h"

#include <cmath>

#include "encoding/lane_dot.h"
#include "encoding/projection.h"

namespace korvane {

bool normalizeVector(const float* x, std::size_t dim, float* out) {
    double squares = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        if (!std::isfinite(x[j])) return false;
        squares += double(x[j]) * double(x[j]);
    }
    if (!(squares > 0.0)) return false;
    const double length = std::sqrt(squares);
    for (std::size_t j = 0; j < dim; ++j) out[j] = static_cast<float>(double(x[j]) / length);
    return true;
}

bool prepareVector(const Index& index, const float* x, float* rotated) {
    const Shape& shape = index.shape;
    if (shape.isDefault()) {
        rotateVector(index.rotation, x, rotated);
        return true;
    }
    float unit[kMaxDim];
    if (shape.metric == Metric::Cosine) {
        if (!normalizeVector(x, shape.dim, unit)) return false;
        x = unit;
    }
    rotateShaped(shape, index.rotation, index.rotation_order, x, rotated);
    centreRotated(index, rotated);
    return true;
}

void centreRotated(const Index& index, float* rotated) {
    if (index.shape.metric != Metric::Euclidean || !index.centred) return;
    for (std::size_t j = 0; j < index.shape.dim; ++j) rotated[j] = rotated[j] - index.centre[j];
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
    rotateShaped(shape, index.rotation, index.rotation_order, mean, index.centre);
    index.centred = true;
}

}  // namespace korvane

#include "encoding/quantizer.h"

#include <cmath>

namespace korvane {

const float kQuantizerThresholds[7] = {-1.748f, -1.05f, -0.5006f, 0.0f, 0.5006f, 1.05f, 1.748f};
const float kQuantizerLevels[8] = {-2.152f, -1.3439f, -0.756f, -0.2451f,
                                   0.2451f,  0.756f,   1.3439f, 2.152f};

unsigned quantizerCode(float t) {
    // NaN is below no threshold, so it lands on the top code without a branch.
    unsigned code = 0;
    for (float threshold : kQuantizerThresholds) code += !(t < threshold) ? 1u : 0u;
    return code;
}

double maxIgnoringNan(double a, double b) { return std::fmax(a, b); }

StandardStats standardStats(double sum, double sum_squares, std::size_t n) {
    // For n = 256 dividing by n and multiplying by 1/256 give the same bits.
    const double count = static_cast<double>(n);
    const double m = sum / count;
    double v = sum_squares / count - m * m;
    v = maxIgnoringNan(v, 0.0);
    const double s = maxIgnoringNan(std::sqrt(v), 1e-12);
    return {static_cast<float>(s), static_cast<float>(m)};
}

namespace {

inline float standardised(const float* x, const float* mean, const float* std_dev, std::size_t j) {
    if (mean == nullptr) return x[j];
    const float centred = x[j] - mean[j];
    return centred / std_dev[j];
}

}  // namespace

void encodePayload(const Shape& shape, std::uint64_t id, const float* x, const float* mean, const float* std_dev,
                   TurboQuantPayload& payload) {
    const std::size_t dim = shape.dim;
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double z = standardised(x, mean, std_dev, j);
        s1 += z;
        s2 += z * z;
    }
    const StandardStats stats = standardStats(s1, s2, dim);

    payload.id = id;
    payload.sigma = stats.sigma;
    payload.mu = stats.mu;
    payload.reserved = 0;
    double n = 0.0;
    double d = 0.0;
    for (std::size_t g = 0; g < shape.codeGroups(); ++g) {
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            const std::size_t j = 8 * g + i;
            if (j >= dim) break;
            const float t = (standardised(x, mean, std_dev, j) - stats.mu) / stats.sigma;
            const unsigned code = quantizerCode(t);
            float r = kQuantizerLevels[code] * stats.sigma + stats.mu;
            if (mean != nullptr) r = r * std_dev[j] + mean[j];
            const double xj = x[j];
            d += xj * static_cast<double>(r);
            n += xj * xj;
            group |= static_cast<std::uint32_t>(code) << (3 * i);
        }
        payload.codes[g] = group;
    }
    // A NaN D fails the comparison and gives 1.0 too.
    payload.gamma = std::fabs(d) > 1e-12 ? static_cast<float>(n / d) : 1.0f;
}

TurboQuantPayload encodeWithCalibration(std::uint64_t id, const float* x, const float* mean,
                                        const float* std_dev) {
    TurboQuantPayload payload{};
    encodePayload(kDefaultShape, id, x, mean, std_dev, payload);
    return payload;
}

}  // namespace korvane

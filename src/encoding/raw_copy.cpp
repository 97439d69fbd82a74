#include "encoding/raw_copy.h"

#include <cmath>

#include "common/shape.h"

namespace korvane {

float quantizeRawI8(const float* rotated, std::int8_t* out, std::size_t n) {
    float largest = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
        const float magnitude = std::fabs(rotated[j]);
        if (magnitude > largest) largest = magnitude;  // NaN never compares greater
    }
    const float scale = (largest > 1e-20f ? largest : 1e-20f) / 127.0f;
    for (std::size_t j = 0; j < n; ++j) {
        const float q = std::round(rotated[j] / scale);  // halves away from zero
        // NaN (and inf / inf) gives 0; the clamp only guards against rounding at +-127.
        out[j] = std::isnan(q) ? 0 : static_cast<std::int8_t>(q > 127.0f ? 127.0f : (q < -127.0f ? -127.0f : q));
    }
    return scale;
}

}  // namespace korvane

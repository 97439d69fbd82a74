// The 8-level Gaussian quantizer and payload encoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encoding/payload.h"

namespace korvane {

extern const float kQuantizerThresholds[7];
extern const float kQuantizerLevels[8];

// Code of a standardised value: the number of thresholds t is not below
// (NaN gives 7).
unsigned quantizerCode(float t);

// fmax-style maximum that ignores a NaN operand.
double maxIgnoringNan(double a, double b);

// Mean and standard deviation (at least 1e-12) of n values, from their sum and
// sum of squares taken in f64, each rounded to f32 at the end. A NaN variance
// counts as 0, so sigma stays usable as a divisor.
struct StandardStats {
    float sigma;
    float mu;
};
StandardStats standardStats(double sum, double sum_squares, std::size_t n);

// Encodes a rotated vector of `shape.padded` floats: statistics and codes
// over its first `dim` components, the groups beyond left zero. `mean`/`std`
// are the index's calibration arrays (`dim` values each) or nullptr when the
// index is not calibrated.
void encodePayload(const Shape& shape, std::uint64_t id, const float* x, const float* mean, const float* std,
                   TurboQuantPayload& out);
// The same for the default shape.
TurboQuantPayload encodeWithCalibration(std::uint64_t id, const float* x, const float* mean,
                                        const float* std);

}  // namespace korvane

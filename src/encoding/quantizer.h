// The 8-level Gaussian quantizer and payload encoding.
#pragma once

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

// Encodes a rotated vector. `mean`/`std` are the index's calibration arrays
// (256 values each) or nullptr when the index is not calibrated.
TurboQuantPayload encodeWithCalibration(std::uint64_t id, const float* x, const float* mean,
                                        const float* std);

}  // namespace korvane

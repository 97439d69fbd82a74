// How an index's metric enters its vectors and scores. Inner product uses
// vectors as given. Cosine normalises every vector on the way in and is
// then inner product. Euclidean takes every vector relative to the index's
// centre and turns each inner product into a negated squared distance with
// the two squared lengths, so larger is better under every metric.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index.h"

namespace korvane {

// Whether x (dim floats) has a direction: every component finite, one not zero.
bool hasDirection(const float* x, std::size_t dim);

// The unit vector of x: each component x_j / ||x|| taken in double and
// rounded once, ||x||^2 summed in double in order. False, with `out`
// unwritten, for a vector without a direction. `out` may be `x`.
bool normalizeVector(const float* x, std::size_t dim, float* out);

// A caller's vector as the index stores and queries it: normalised under
// cosine, rotated, then (Euclidean) relative to the centre; `rotated` gets
// `padded` floats. False for a cosine vector with no direction.
bool prepareVector(const Index& index, const float* x, float* rotated);

// The same for `count` vectors (`dim` floats apart) into rows of `padded`,
// through the block kernels, each row equal to prepareVector's. `room` has
// count x dim floats for normalised copies and may be `xs` itself when the
// caller owns it. usable[i] is false for a cosine vector with no direction,
// whose row is then zero.
void prepareBlock(const Index& index, const float* xs, std::size_t count, float* rotated, float* room,
                  bool* usable);

// Squared length of a prepared vector, by the one dot product.
float squaredLength(const Index& index, const float* rotated);

// -(||q||^2 - 2 <q, x> + ||x||^2) in float, in that order; a rounding below
// zero gives 0. NaN stays NaN.
inline float euclideanScore(float inner, float node_squared, float query_squared) {
    const float twice = inner + inner;
    const float distance = (query_squared - twice) + node_squared;
    return distance <= 0.0f ? 0.0f : -distance;
}

// The score of node `node` from its inner product with the prepared query.
inline float metricScore(const Index& index, float inner, std::uint64_t node, float query_squared) {
    if (index.shape.metric != Metric::Euclidean) return inner;
    return euclideanScore(inner, index.squared_norms[node], query_squared);
}

// Sets a Euclidean index's centre from the first vectors it is given (the
// mean of those whose components are all finite, taken in double in order,
// then rotated); nothing for other metrics or once set.
void setCentreOnce(Index& index, const float* vectors, std::uint64_t count);

}  // namespace korvane

#include "dataset.h"

#include <cmath>

#include "parallel.h"

namespace korvane::tool {

namespace {

Stream streamFor(std::uint64_t seed, std::uint64_t purpose, std::uint64_t item) {
    Stream mixer{seed ^ (purpose * 0xd1b54a32d192ed03ull)};
    mixer.state ^= mixer.next() + item * 0x9e3779b97f4a7c15ull;
    return Stream{mixer.next()};
}

void normalise(float* v, std::uint64_t dim) {
    double sum = 0;
    for (std::uint64_t d = 0; d < dim; ++d) sum += static_cast<double>(v[d]) * v[d];
    const double scale = sum > 0 ? 1.0 / std::sqrt(sum) : 0.0;
    for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(v[d] * scale);
}

VectorSet makeCentres(const ClusteredSetup& setup) {
    const std::uint64_t dim = setup.dim;
    VectorSet centres{setup.clusters, std::vector<float>(setup.clusters * dim), dim};
    for (std::uint64_t c = 0; c < setup.clusters; ++c) {
        Stream stream = streamFor(setup.seed, 0, c);
        float* v = centres.values.data() + c * dim;
        for (std::uint64_t d = 0; d < dim; ++d) v[d] = static_cast<float>(stream.normal());
        normalise(v, dim);
    }
    return centres;
}

void drawPoint(const ClusteredSetup& setup, const VectorSet& centres, Stream stream, float* out) {
    const float* centre = centres.row(stream.next() % setup.clusters);
    const double sigma = setup.noise / std::sqrt(static_cast<double>(setup.dim));
    for (std::uint64_t d = 0; d < setup.dim; ++d)
        out[d] = static_cast<float>(centre[d] + sigma * stream.normal());
    normalise(out, setup.dim);
}

VectorSet drawPoints(const ClusteredSetup& setup, const VectorSet& centres, std::uint64_t count,
                     std::uint64_t purpose, std::uint64_t threads) {
    VectorSet set{count, std::vector<float>(count * setup.dim), setup.dim};
    parallelFor(count, threads, [&](std::uint64_t, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i)
            drawPoint(setup, centres, streamFor(setup.seed, purpose, i), set.values.data() + i * setup.dim);
    });
    return set;
}

}  // namespace

ClusteredData generateClustered(const ClusteredSetup& setup, std::uint64_t threads) {
    const VectorSet centres = makeCentres(setup);
    return {drawPoints(setup, centres, setup.base_count, 1, threads),
            drawPoints(setup, centres, setup.query_count, 2, threads)};
}

}  // namespace korvane::tool

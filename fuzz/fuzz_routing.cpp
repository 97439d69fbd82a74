// Routing codes: the verified path (estimates from the reduced copy, exact
// kernel near zero) against the exact kernel on every row, on every SIMD
// path the CPU has. The first 1 KiB of an input is a vector (missing bytes
// are zero); an optional control byte then turns it into a harder one
// (orthogonal to a row, scaled by a power of two, one component nudged by an
// ulp), and any further whole 1 KiB blocks replace matrix rows, as a loaded
// file may hold any floats there.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/cpu.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/reduced_projection.h"

namespace korvane {
namespace {

constexpr std::size_t kVectorBytes = kDim * sizeof(float);

const std::vector<float>& seededProjection() {
    static const std::vector<float> m = [] {
        std::vector<float> out(kProjectionFloats);
        generateProjection(out.data(), 99);
        return out;
    }();
    return m;
}

struct Reduced {
    ReducedProjection reduced;
    Reduced() {
        if (!allocateReducedProjection(reduced)) std::abort();
    }
    ~Reduced() { deinit(reduced); }
};

// Control byte: bits 0-1 choose the transformation, the rest its argument.
void harden(std::vector<float>& y, const float* matrix, std::uint8_t control, std::uint8_t argument) {
    switch (control & 3) {
        case 1: {  // orthogonal to row `argument * 4`, in double, then rounded
            const float* row = matrix + std::size_t(argument) * 4 * kDim;
            double dot = 0, norm = 0;
            for (std::size_t j = 0; j < kDim; ++j) dot += double(row[j]) * y[j], norm += double(row[j]) * row[j];
            if (norm > 0 && std::isfinite(dot / norm))
                for (std::size_t j = 0; j < kDim; ++j) y[j] = float(y[j] - dot / norm * row[j]);
            break;
        }
        case 2:  // scaled by 2^(argument - 128)
            for (float& v : y) v = std::ldexp(v, int(argument) - 128);
            break;
        case 3:  // component `argument` nudged by an ulp
            y[argument] = std::nextafter(y[argument], control & 4 ? 1e38f : -1e38f);
            break;
        default: break;
    }
}

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane;
    std::vector<float> y(kDim, 0.0f);
    std::memcpy(y.data(), data, size < kVectorBytes ? size : kVectorBytes);
    static std::vector<float> matrix = seededProjection();
    static Reduced seeded_reduced, replaced_reduced;
    static const bool seeded_ready = (deriveReducedProjection(matrix.data(), seeded_reduced.reduced), true);
    (void)seeded_ready;
    static bool rows_replaced = false;
    if (rows_replaced) matrix = seededProjection();
    rows_replaced = false;
    std::size_t at = kVectorBytes;
    if (size >= at + 2) {
        const std::uint8_t control = data[at], argument = data[at + 1];
        at += 2;
        for (std::size_t row = control >> 3; size >= at + kVectorBytes; row = (row * 37 + 11) % kRoutingBits) {
            rows_replaced = true;
            std::memcpy(matrix.data() + row * kDim, data + at, kVectorBytes);
            at += kVectorBytes;
        }
        if (rows_replaced) deriveReducedProjection(matrix.data(), replaced_reduced.reduced);
        harden(y, matrix.data(), control, argument);
    }
    const ReducedProjection& reduced = rows_replaced ? replaced_reduced.reduced : seeded_reduced.reduced;

    std::vector<float> projections(kRoutingBits);
    matVec(matrix.data(), kRoutingBits, y.data(), projections.data());  // every path gives these bits
    const RoutingCode exact = routingCodeOf(projections.data());
    for (SimdPath path : {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512}) {
        if (!simdPathSupported(path)) continue;
        const RoutingCode fast = verifiedRoutingCodeOn(path, matrix.data(), reduced, y.data(), projections.data());
        if (std::memcmp(&fast, &exact, sizeof fast) != 0) {
            std::fprintf(stderr, "verified routing code differs from the exact one on %s\n", simdPathName(path));
            std::abort();
        }
    }
    return 0;
}

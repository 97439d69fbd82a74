// Scalar twin of the estimate kernels: the reference every path must match.
#include "encoding/reduced_projection_kernels.h"

namespace korvane {

WordSigns estimateWordScalar(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word) {
    std::int32_t sums[kRowsPerWord] = {};
    const std::int16_t* block = reduced.levels + word * reduced.pairs * kRowsPerWord * 2;
    for (std::size_t p = 0; p < reduced.pairs; ++p) {
        const std::int32_t r0 = query.levels[2 * p];
        const std::int32_t r1 = query.levels[2 * p + 1];
        const std::int16_t* pair = block + p * kRowsPerWord * 2;
        for (std::size_t i = 0; i < kRowsPerWord; ++i) sums[i] += pair[2 * i] * r0 + pair[2 * i + 1] * r1;
    }
    WordSigns signs{0, 0};
    const std::size_t first = word * kRowsPerWord;
    for (std::size_t i = 0; i < kRowsPerWord; ++i) {
        bool positive = false, undecided = false;
        decideRow(sums[i], reduced.bound_coefficient[first + i], reduced.level_norm[first + i],
                  reduced.inverse_scale[first + i], query, positive, undecided);
        signs.positive |= std::uint64_t(positive) << i;
        signs.undecided |= std::uint64_t(undecided) << i;
    }
    return signs;
}

}  // namespace korvane

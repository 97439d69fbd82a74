// The kernels of the table in reduced_projection.cpp: the integer estimates
// of one code word's 64 rows and their decisions. The AVX2 and AVX-512 kernels may only
// be called when the CPU has the instructions; each returns exactly what its
// scalar twin returns.
#pragma once

#include "encoding/reduced_projection.h"

namespace korvane {

WordSigns estimateWordScalar(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word);
WordSigns estimateWordAvx2(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word);
WordSigns estimateWordAvx512(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word);

}  // namespace korvane

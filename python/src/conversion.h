// Python arguments turned into what the C interface takes, with ValueError
// for anything it cannot take.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace korvane_py {

using FloatArray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using IdArray = pybind11::array_t<uint64_t, pybind11::array::c_style | pybind11::array::forcecast>;

// Rows of `dim` floats: a (n, dim) or (dim,) array-like (dim 0: any width,
// taken from the array). float32 C-contiguous arrays are used as they are;
// anything else is converted once. Rows that cannot be scored under
// `metric` are refused, and so are zero rows when they are to be stored in
// a cosine index (`stored`), which has no direction to give them.
struct Rows {
    FloatArray array;
    uint64_t count;
    uint32_t dim;
    bool single;  // given as one (dim,) vector
};
Rows toRows(pybind11::handle object, const char* what, uint32_t dim, uint32_t metric, bool stored,
            const char* dim_owner = "the index's dimension");

// A (n,) or scalar array-like of non-negative integers as uint64.
IdArray toIds(pybind11::handle object, const char* what);

// A str, bytes or os.PathLike as the NUL-free byte string the C calls take.
std::string toPath(pybind11::handle object);

// A non-negative Python int that fits 64 bits.
uint64_t toUnsigned(pybind11::handle object, const char* what);

// An integer (not a bool, not a float) in low .. high; ValueError otherwise.
uint64_t toCount(pybind11::handle object, const char* what, uint64_t low, uint64_t high);

// Worker threads for `work` independent items: at most one per item, and
// None means every core this process could run on when first asked.
uint64_t toThreadCount(pybind11::handle threads, uint64_t work);
uint64_t coreCount();

bool isBool(pybind11::handle object);

}  // namespace korvane_py

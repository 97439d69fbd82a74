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

// Rows of 256 floats: a (n, 256) or (256,) array-like. float32 C-contiguous
// arrays are used as they are; anything else is converted once.
struct Rows {
    FloatArray array;
    uint64_t count;
    bool single;  // given as one (256,) vector
};
Rows toRows(pybind11::handle object, const char* what);

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

// The header of a NumPy .npy file: element type, memory order and shape.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::tool {

class BinaryFile;

struct NpyHeader {
    std::string descr;  // e.g. "<f4", "<u8"
    bool fortran_order = false;
    std::vector<std::uint64_t> shape;
};

// Reads the header and leaves the file at the first data byte; throws Failure
// when the file is not a .npy file or its header cannot be understood.
NpyHeader readNpyHeader(BinaryFile& file);

// The bytes of a version 1.0 header for a C-order array.
std::string npyHeaderBytes(const std::string& descr, const std::vector<std::uint64_t>& shape);

}  // namespace korvane::tool

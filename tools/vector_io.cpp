#include "vector_io.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "args.h"
#include "binary_file.h"
#include "cli_error.h"
#include "npy_header.h"

namespace korvane::tool {

static_assert(std::endian::native == std::endian::little, "the file formats are little-endian");

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string countText(std::uint64_t n, const char* noun, const char* plural = nullptr) {
    if (n == 1) return "1 " + std::string(noun);
    return std::to_string(n) + " " + (plural ? std::string(plural) : std::string(noun) + "s");
}

std::string shapeText(const std::vector<std::uint64_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

// Refuses a width the index cannot take or that differs from the expected one.
void checkDim(const std::string& path, std::uint64_t dim, const ExpectedDim& expected) {
    const std::string have = path + ": vectors have " + std::to_string(dim) + " dimensions; ";
    if (dim == 0 || dim > kMaxDim)
        throw Failure(have + "korvane takes 1 to " + std::to_string(kMaxDim));
    if (expected.dim != 0 && dim != expected.dim)
        throw Failure(have + expected.source + " " + std::to_string(expected.dim));
}

std::uint64_t rowBytes(std::uint64_t dim) { return dim * sizeof(float); }

VectorSet readFvecs(BinaryFile& file, const ExpectedDim& expected) {
    VectorSet set;
    set.dim = expected.dim ? expected.dim : kDim;
    if (file.size() == 0) return set;
    if (file.size() < 4) throw Failure(file.path() + ": file is truncated (" + std::to_string(file.size()) + " bytes)");
    std::uint32_t first = 0;
    file.read(&first, 4, "first record");
    checkDim(file.path(), first, expected);
    set.dim = first;
    const std::uint64_t record = 4 + rowBytes(set.dim);
    if (file.size() % record != 0)
        throw Failure(file.path() + ": file is truncated (" + std::to_string(file.size()) +
                      " bytes is not a whole number of " + std::to_string(record) + "-byte records)");
    set.count = file.size() / record;
    set.values.resize(set.count * set.dim);
    for (std::uint64_t i = 0; i < set.count; ++i) {
        const std::uint32_t dim = i == 0 ? first : file.readU32("record header");
        if (dim != set.dim)
            throw Failure(file.path() + ": vector " + std::to_string(i) + " has " + std::to_string(dim) +
                          " dimensions, the first " + std::to_string(set.dim));
        file.read(set.values.data() + i * set.dim, rowBytes(set.dim), "vector");
    }
    return set;
}

// The vector count and width of a float32 (n, d) array, or of one (d,) vector.
std::uint64_t npyVectorCount(const BinaryFile& file, const NpyHeader& header, const ExpectedDim& expected,
                             std::uint64_t& dim) {
    if (header.descr != "<f4")
        throw Failure(file.path() + ": .npy element type is '" + header.descr +
                      "'; korvane needs float32 ('<f4')");
    if (header.fortran_order)
        throw Failure(file.path() + ": .npy array is in Fortran order; korvane needs C order");
    const std::vector<std::uint64_t>& shape = header.shape;
    if (shape.empty() || shape.size() > 2)
        throw Failure(file.path() + ": .npy shape " + shapeText(shape) + " has " +
                      std::to_string(shape.size()) + (shape.size() == 1 ? " axis" : " axes") +
                      "; korvane needs (n, dim)");
    dim = shape.back();
    checkDim(file.path(), dim, expected);
    return shape.size() == 2 ? shape[0] : 1;
}

VectorSet readNpyVectors(BinaryFile& file, const ExpectedDim& expected) {
    const NpyHeader header = readNpyHeader(file);
    VectorSet set;
    set.count = npyVectorCount(file, header, expected, set.dim);
    const std::uint64_t row = rowBytes(set.dim);
    if (set.count > file.remaining() / row)
        throw Failure(file.path() + ": file is truncated (the header promises " +
                      countText(set.count, "vector") + ", the data holds " +
                      std::to_string(file.remaining() / row) + ")");
    set.values.resize(set.count * set.dim);
    file.read(set.values.data(), set.count * row, "vectors");
    return set;
}

// Any width divides some file sizes, so a raw file is read only at a width
// the caller knows.
VectorSet readRawVectors(BinaryFile& file, const ExpectedDim& expected) {
    if (expected.dim == 0)
        throw Failure(file.path() + ": a raw float32 file does not say its dimension; give it with --dim N "
                                    "(or use .npy or .fvecs, which record it)");
    checkDim(file.path(), expected.dim, {});
    const std::uint64_t row = rowBytes(expected.dim);
    if (file.size() % row != 0)
        throw Failure(file.path() + ": file is truncated (" + std::to_string(file.size()) +
                      " bytes is not a whole number of " + std::to_string(expected.dim) + "-float vectors)");
    VectorSet set;
    set.dim = expected.dim;
    set.count = file.size() / row;
    set.values.resize(set.count * set.dim);
    file.read(set.values.data(), file.size(), "vectors");
    return set;
}

// Beyond finite components, the squared length must be a finite float32:
// the library's scores for a longer vector are NaN, which no ranking can
// order.
void checkScorable(const std::string& path, const VectorSet& set) {
    for (std::uint64_t v = 0; v < set.count; ++v) {
        const float* row = set.row(v);
        double squared_length = 0;
        for (std::uint64_t i = 0; i < set.dim; ++i) {
            if (!std::isfinite(row[i]))
                throw Failure(path + ": vector " + std::to_string(v) + " has a component that is not a finite number");
            squared_length += double(row[i]) * double(row[i]);
        }
        if (squared_length > double(std::numeric_limits<float>::max()))
            throw Failure(path + ": vector " + std::to_string(v) +
                          " is too long: its squared length overflows float32, so it cannot be scored");
    }
}

std::vector<std::uint64_t> readNpyIds(BinaryFile& file) {
    const NpyHeader header = readNpyHeader(file);
    const bool is_u64 = header.descr == "<u8";
    if (!is_u64 && header.descr != "<i8")
        throw Failure(file.path() + ": .npy ids must be uint64 or int64, not '" + header.descr + "'");
    const bool flat = header.shape.size() == 1 ||
                      (header.shape.size() == 2 && header.shape[1] == 1 && !header.fortran_order);
    if (!flat) throw Failure(file.path() + ": .npy ids must have shape (n,)");
    const std::uint64_t n = header.shape[0];
    if (n > file.remaining() / 8)
        throw Failure(file.path() + ": file is truncated (the header promises " +
                      countText(n, "id") + ")");
    std::vector<std::uint64_t> ids(n);
    file.read(ids.data(), n * 8, "ids");
    for (std::uint64_t i = 0; i < n; ++i)
        if (!is_u64 && static_cast<std::int64_t>(ids[i]) < 0)
            throw Failure(file.path() + ": the id at position " + std::to_string(i) + " is negative (" +
                          std::to_string(static_cast<std::int64_t>(ids[i])) + ")");
    return ids;
}

std::string trimmed(const std::string& line) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const std::size_t last = line.find_last_not_of(" \t\r");
    return line.substr(first, last - first + 1);
}

std::vector<std::uint64_t> readTextIds(const std::string& path) {
    BinaryFile probe(path);  // same open and regular-file checks as binary files
    std::ifstream in(path);
    if (!in) throw Failure("cannot open " + path);
    std::vector<std::uint64_t> ids;
    std::string line;
    for (std::uint64_t number = 1; std::getline(in, line); ++number) {
        const std::string word = trimmed(line);
        if (word.empty()) continue;
        const std::optional<std::uint64_t> id = parseU64(word);
        if (!id)
            throw Failure(path + " line " + std::to_string(number) + ": '" + printable(word.substr(0, 40)) +
                          "' is not an id (a decimal integer from 0 to 18446744073709551615)");
        ids.push_back(*id);
    }
    if (in.bad()) throw Failure("cannot read " + path);
    return ids;
}

std::string npyBytesFor(const VectorSet& vectors) {
    return npyHeaderBytes("<f4", {vectors.count, vectors.dim});
}

}  // namespace

VectorFormat formatFromName(const std::string& path) {
    if (endsWith(path, ".fvecs")) return VectorFormat::Fvecs;
    if (endsWith(path, ".npy")) return VectorFormat::Npy;
    return VectorFormat::Raw;
}

VectorSet readVectors(const std::string& path, const ExpectedDim& expected) {
    BinaryFile file(path);
    VectorSet set;
    switch (formatFromName(path)) {
        case VectorFormat::Fvecs: set = readFvecs(file, expected); break;
        case VectorFormat::Npy: set = readNpyVectors(file, expected); break;
        case VectorFormat::Raw: set = readRawVectors(file, expected); break;
    }
    if (set.count == 0) throw Failure(path + ": holds no vectors");
    checkScorable(path, set);
    return set;
}

std::vector<std::uint64_t> readIds(const std::string& path) {
    if (formatFromName(path) != VectorFormat::Npy) return readTextIds(path);
    BinaryFile file(path);
    return readNpyIds(file);
}

std::vector<std::vector<std::uint64_t>> readIvecs(const std::string& path) {
    BinaryFile file(path);
    std::vector<std::vector<std::uint64_t>> rows;
    while (file.remaining() > 0) {
        const std::uint32_t k = file.readU32("record header");
        if (k > file.remaining() / 4)
            throw Failure(path + ": file is truncated (row " + std::to_string(rows.size()) +
                          " promises " + countText(k, "entry", "entries") + ")");
        std::vector<std::int32_t> entries(k);
        file.read(entries.data(), std::uint64_t{k} * 4, "row");
        std::vector<std::uint64_t>& row = rows.emplace_back();
        for (std::int32_t entry : entries) {
            if (entry < 0) throw Failure(path + ": row " + std::to_string(rows.size() - 1) +
                                         " holds a negative row number");
            row.push_back(static_cast<std::uint64_t>(entry));
        }
    }
    return rows;
}

void writeVectors(const std::string& path, const VectorSet& vectors) {
    const std::uint64_t row = rowBytes(vectors.dim);
    std::string bytes;
    const char* data = reinterpret_cast<const char*>(vectors.values.data());
    switch (formatFromName(path)) {
        case VectorFormat::Fvecs:
            for (std::uint64_t i = 0; i < vectors.count; ++i) {
                const std::uint32_t dim = static_cast<std::uint32_t>(vectors.dim);
                bytes.append(reinterpret_cast<const char*>(&dim), 4);
                bytes.append(data + i * row, row);
            }
            break;
        case VectorFormat::Npy:
            bytes = npyBytesFor(vectors);
            bytes.append(data, vectors.count * row);
            break;
        case VectorFormat::Raw: bytes.assign(data, vectors.count * row); break;
    }
    writeWholeFile(path, bytes.data(), bytes.size());
}

}  // namespace korvane::tool

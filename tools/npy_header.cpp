#include "npy_header.h"

#include <cstring>

#include "args.h"
#include "binary_file.h"
#include "cli_error.h"

namespace korvane::tool {

namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicSize = 6;
constexpr std::uint32_t kMaxHeaderBytes = 1u << 20;

[[noreturn]] void notNpy(const BinaryFile& file, const std::string& why) {
    throw Failure(file.path() + ": not a readable .npy file (" + why + ")");
}

// The text following "'key':" in the header dictionary, or npos. NumPy
// writes single quotes; double quotes are accepted from other writers.
std::size_t valueStart(const std::string& dict, const std::string& key) {
    std::size_t at = dict.find("'" + key + "'");
    if (at == std::string::npos) at = dict.find("\"" + key + "\"");
    if (at == std::string::npos) return at;
    const std::size_t colon = dict.find(':', at);
    if (colon == std::string::npos) return colon;
    return dict.find_first_not_of(' ', colon + 1);
}

std::string quotedValue(const BinaryFile& file, const std::string& dict, const std::string& key) {
    const std::size_t start = valueStart(dict, key);
    if (start == std::string::npos || (dict[start] != '\'' && dict[start] != '"'))
        notNpy(file, "no " + key);
    const std::size_t end = dict.find(dict[start], start + 1);
    if (end == std::string::npos) notNpy(file, "bad " + key);
    return dict.substr(start + 1, end - start - 1);
}

std::vector<std::uint64_t> shapeValue(const BinaryFile& file, const std::string& dict) {
    const std::size_t start = valueStart(dict, "shape");
    if (start == std::string::npos || dict[start] != '(') notNpy(file, "no shape");
    const std::size_t end = dict.find(')', start);
    if (end == std::string::npos) notNpy(file, "bad shape");
    std::vector<std::uint64_t> shape;
    std::string item;
    for (std::size_t i = start + 1; i <= end; ++i) {
        const char c = dict[i];
        if (c == ',' || c == ')') {
            if (item.empty()) continue;
            const std::optional<std::uint64_t> value = parseU64(item);
            if (!value) notNpy(file, "bad shape");
            shape.push_back(*value);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return shape;
}

std::uint32_t headerLength(BinaryFile& file) {
    char magic[kMagicSize];
    file.read(magic, kMagicSize, ".npy magic");
    if (std::memcmp(magic, kMagic, kMagicSize) != 0) notNpy(file, "no .npy magic");
    const std::uint8_t major = file.readU8(".npy header");
    file.readU8(".npy header");
    if (major == 1) return file.readU16(".npy header");
    if (major == 2 || major == 3) return file.readU32(".npy header");
    notNpy(file, "unknown version " + std::to_string(major));
}

}  // namespace

NpyHeader readNpyHeader(BinaryFile& file) {
    const std::uint32_t length = headerLength(file);
    if (length > kMaxHeaderBytes) notNpy(file, "header too long");
    std::string dict(length, '\0');
    file.read(dict.data(), length, ".npy header");
    NpyHeader header;
    header.descr = quotedValue(file, dict, "descr");
    const std::size_t order = valueStart(dict, "fortran_order");
    if (order == std::string::npos) notNpy(file, "no fortran_order");
    header.fortran_order = dict.compare(order, 4, "True") == 0;
    header.shape = shapeValue(file, dict);
    return header;
}

std::string npyHeaderBytes(const std::string& descr, const std::vector<std::uint64_t>& shape) {
    std::string dims;
    for (std::size_t i = 0; i < shape.size(); ++i)
        dims += (i ? ", " : "") + std::to_string(shape[i]);
    if (shape.size() == 1) dims += ',';  // a one-element tuple
    std::string dict = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + dims + "), }";
    const std::size_t unpadded = kMagicSize + 4 + dict.size() + 1;
    dict.append((64 - unpadded % 64) % 64, ' ');
    dict += '\n';
    std::string bytes(kMagic, kMagicSize);
    bytes += '\x01';
    bytes += '\x00';
    bytes += static_cast<char>(dict.size() & 0xff);
    bytes += static_cast<char>(dict.size() >> 8);
    return bytes + dict;
}

}  // namespace korvane::tool

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

// The header dictionary, as NumPy writes it:
//   {'descr': '<f4', 'fortran_order': False, 'shape': (3, 256), }
// read as a whole: each of the three keys exactly once (single or double
// quotes), each value of its type, nothing else inside or after it but
// white space. Matching keys by searching the text would let a string value
// that contains one hide the real entry.
class DictReader {
public:
    static constexpr const char* kKeys[3] = {"descr", "fortran_order", "shape"};

    DictReader(const BinaryFile& file, const std::string& text) : file_(file), text_(text) {}

    NpyHeader read() {
        NpyHeader header;
        bool seen[3] = {false, false, false};
        expect('{', "a dictionary");
        while (!accept('}')) {
            const std::string key = quoted("a quoted key");
            expect(':', "':' after a key");
            int which = 2;
            while (which >= 0 && key != kKeys[which]) --which;
            if (which < 0) fail("unexpected key '" + printable(key) + "'");
            if (seen[which]) fail("key '" + key + "' given twice");
            seen[which] = true;
            if (which == 0) header.descr = quoted("descr must be a quoted string");
            if (which == 1) header.fortran_order = boolean();
            if (which == 2) header.shape = tuple();
            if (!accept(',')) {
                expect('}', "',' or '}' after a value");
                break;
            }
        }
        skipSpace();
        if (at_ != text_.size()) fail("text after the dictionary");
        for (int i = 0; i < 3; ++i)
            if (!seen[i]) fail(std::string("no ") + kKeys[i]);
        return header;
    }

private:
    [[noreturn]] void fail(const std::string& why) const { notNpy(file_, "header: " + why); }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) ++at_;
    }
    bool accept(char c) {
        skipSpace();
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    void expect(char c, const char* what) {
        if (!accept(c)) fail(std::string("expected ") + what);
    }

    std::string quoted(const char* what) {
        skipSpace();
        if (at_ >= text_.size() || (text_[at_] != '\'' && text_[at_] != '"')) fail(std::string("expected ") + what);
        const std::size_t end = text_.find(text_[at_], at_ + 1);
        if (end == std::string::npos) fail("unterminated string");
        std::string value = text_.substr(at_ + 1, end - at_ - 1);
        if (value.find('\\') != std::string::npos) fail("escapes in a string");
        at_ = end + 1;
        return value;
    }

    bool boolean() {
        skipSpace();
        for (const bool value : {true, false}) {
            const std::string word = value ? "True" : "False";
            if (text_.compare(at_, word.size(), word) == 0) {
                at_ += word.size();
                return value;
            }
        }
        fail("fortran_order must be True or False");
    }

    // A non-negative integer, with the 'L' that Python 2 wrote after longs.
    std::uint64_t integer() {
        skipSpace();
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        const std::optional<std::uint64_t> value = parseU64(text_.substr(start, at_ - start));
        if (!value) fail("shape must hold non-negative integers");
        if (at_ < text_.size() && text_[at_] == 'L') ++at_;
        return *value;
    }

    // "()", "(n,)" or "(n, m, ...)" with an optional trailing comma.
    std::vector<std::uint64_t> tuple() {
        expect('(', "shape must be a tuple");
        std::vector<std::uint64_t> shape;
        while (!accept(')')) {
            shape.push_back(integer());
            if (accept(')')) {
                if (shape.size() == 1) fail("shape (n) is not a tuple; (n,) is");
                break;
            }
            expect(',', "',' in the shape");
        }
        return shape;
    }

    const BinaryFile& file_;
    const std::string& text_;
    std::size_t at_ = 0;
};

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
    return DictReader(file, dict).read();
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

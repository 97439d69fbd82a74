#include "test_files.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>
#include <random>

namespace tooltest {

Floats randomVectors(std::uint64_t count, std::uint32_t seed, std::uint64_t dim) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    Floats values(count * dim);
    for (float& v : values) v = uniform(random);
    return values;
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
void append(std::string& bytes, const T& value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void writeFvecs(const std::string& path, const Floats& vectors, std::uint32_t dim) {
    std::string bytes;
    for (std::uint64_t i = 0; i < vectors.size() / dim; ++i) {
        append(bytes, dim);
        bytes.append(reinterpret_cast<const char*>(vectors.data() + i * dim), dim * 4);
    }
    writeBytes(path, bytes);
}

void writeNpy(const std::string& path, const std::string& descr, const std::string& shape,
              const void* data, std::uint64_t bytes) {
    writeNpyWithHeader(path, "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }",
                       data, bytes);
}

void writeNpyWithHeader(const std::string& path, std::string dict, const void* data, std::uint64_t bytes) {
    while ((10 + dict.size() + 1) % 64 != 0) dict += ' ';
    dict += '\n';
    std::string file = "\x93NUMPY\x01";
    file += '\0';
    append(file, static_cast<std::uint16_t>(dict.size()));
    file += dict;
    file.append(static_cast<const char*>(data), bytes);
    writeBytes(path, file);
}

void writeNpyVectors(const std::string& path, const Floats& vectors) {
    std::string shape = "(";
    shape += std::to_string(vectors.size() / kDim) + ", 256)";
    writeNpy(path, "<f4", shape, vectors.data(), vectors.size() * 4);
}

void writeRaw(const std::string& path, const Floats& vectors) {
    writeBytes(path, std::string(reinterpret_cast<const char*>(vectors.data()), vectors.size() * 4));
}

void writeTextIds(const std::string& path, const std::vector<std::uint64_t>& ids) {
    std::string text;
    for (std::uint64_t id : ids) text += std::to_string(id) + "\n";
    writeBytes(path, text);
}

void writeNpyIds(const std::string& path, const std::vector<std::uint64_t>& ids) {
    std::string shape = "(";
    shape += std::to_string(ids.size()) + ",)";
    writeNpy(path, "<u8", shape, ids.data(), ids.size() * 8);
}

void writeIvecs(const std::string& path, const std::vector<std::vector<std::uint64_t>>& rows) {
    std::string bytes;
    for (const auto& row : rows) {
        append(bytes, static_cast<std::int32_t>(row.size()));
        for (std::uint64_t entry : row) append(bytes, static_cast<std::int32_t>(entry));
    }
    writeBytes(path, bytes);
}

namespace {

// Larger is better, as the library scores: inner product, cosine similarity
// or minus the squared distance.
double exactScore(const float* a, const float* b, std::uint64_t dim, std::uint32_t metric) {
    double dot = 0, aa = 0, bb = 0, distance = 0;
    for (std::uint64_t i = 0; i < dim; ++i) {
        dot += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
        distance += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    }
    if (metric == KORVANE_METRIC_COSINE) return dot / std::sqrt(aa * bb);
    if (metric == KORVANE_METRIC_L2) return -distance;
    return dot;
}

}  // namespace

std::vector<std::vector<std::uint64_t>> bruteForce(const Floats& base, const Floats& queries,
                                                   std::uint64_t k, std::uint64_t dim, std::uint32_t metric) {
    const std::uint64_t n = base.size() / dim;
    std::vector<std::vector<std::uint64_t>> truth;
    for (std::uint64_t q = 0; q < queries.size() / dim; ++q) {
        std::vector<double> scores(n);
        for (std::uint64_t i = 0; i < n; ++i)
            scores[i] = exactScore(base.data() + i * dim, queries.data() + q * dim, dim, metric);
        std::vector<std::uint64_t> rows(n);
        std::iota(rows.begin(), rows.end(), 0);
        std::stable_sort(rows.begin(), rows.end(),
                         [&](std::uint64_t a, std::uint64_t b) { return scores[a] > scores[b]; });
        rows.resize(std::min(k, n));
        truth.push_back(rows);
    }
    return truth;
}

}  // namespace tooltest

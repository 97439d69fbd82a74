#include "result_output.h"

namespace korvane::tool {

namespace {

using ull = unsigned long long;

// %.9g round-trips every float exactly.
void writeList(std::FILE* out, const char* name, const SearchResults& results, std::uint64_t q,
               bool scores) {
    std::fprintf(out, "\"%s\": [", name);
    for (std::uint64_t r = 0; r < results.counts[q]; ++r) {
        const std::uint64_t at = q * results.k + r;
        if (r) std::fputs(", ", out);
        if (scores) std::fprintf(out, "%.9g", results.scores[at]);
        else std::fprintf(out, "%llu", static_cast<ull>(results.ids[at]));
    }
    std::fputc(']', out);
}

}  // namespace

void writeTsv(std::FILE* out, const SearchResults& results) {
    std::fputs("query\trank\tid\tscore\n", out);
    for (std::uint64_t q = 0; q < results.counts.size(); ++q)
        for (std::uint64_t r = 0; r < results.counts[q]; ++r) {
            const std::uint64_t at = q * results.k + r;
            std::fprintf(out, "%llu\t%llu\t%llu\t%.9g\n", static_cast<ull>(q),
                         static_cast<ull>(r + 1), static_cast<ull>(results.ids[at]),
                         results.scores[at]);
        }
}

void writeJsonLines(std::FILE* out, const SearchResults& results) {
    for (std::uint64_t q = 0; q < results.counts.size(); ++q) {
        std::fprintf(out, "{\"query\": %llu, ", static_cast<ull>(q));
        writeList(out, "ids", results, q, false);
        std::fputs(", ", out);
        writeList(out, "scores", results, q, true);
        std::fputs("}\n", out);
    }
}

}  // namespace korvane::tool

// Payload scoring and encoding throughput. The one-at-a-time estimate is one
// dependent chain of 256 additions per payload; the block scorers run many
// payloads side by side. Ratios against the one-at-a-time loops are printed
// at the end, from the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "encoding/quantizer.h"
#include "encoding/scoring.h"
#include "rate_reporter.h"
#include "support/test_support.h"

namespace korvane {
namespace {

constexpr std::size_t kStored = 4096;
constexpr std::size_t kCandidates = 256;  // one search's worth

struct Fixture {
    std::vector<TurboQuantPayload> payloads;
    std::vector<const TurboQuantPayload*> order;  // scattered, as graph candidates are
    std::vector<std::int8_t> raws;
    std::vector<const std::int8_t*> raw_order;
    std::vector<float> scales;
    std::vector<float> vectors;
    std::vector<float> query;
    std::vector<float> lut;
    LutSums sums{};

    Fixture() {
        vectors = testing::randomVectors(kStored, 1);
        payloads.resize(kStored);
        for (std::size_t v = 0; v < kStored; ++v) {
            payloads[v] = encodeWithCalibration(v, vectors.data() + v * kDim, nullptr, nullptr);
        }
        testing::TestRng rng(2);
        raws.resize(kStored * kDim);
        for (std::int8_t& b : raws) b = static_cast<std::int8_t>(rng.next() & 0xff);
        scales.resize(kStored);
        for (float& s : scales) s = rng.uniform(1e-3f, 1e-2f);
        for (std::size_t k = 0; k < kStored; ++k) {
            const std::size_t pick = rng.next() % kStored;
            order.push_back(&payloads[pick]);
            raw_order.push_back(raws.data() + pick * kDim);
        }
        query = testing::randomVectors(1, 3);
        std::vector<float> scoring(kDim);
        quantizeQuery(query.data(), scoring.data(), kDim);
        lut.resize(kLutSize);
        sums = buildLut(scoring.data(), nullptr, nullptr, lut.data());
    }
};

const Fixture& fixture() {
    static const Fixture f;
    return f;
}

std::size_t nextOffset(std::size_t& offset) {
    const std::size_t at = offset;
    offset = (offset + kCandidates) % kStored;
    return at;
}

void estimateOneAtATime(benchmark::State& state) {
    const Fixture& f = fixture();
    float out[kCandidates];
    std::size_t offset = 0;
    for (auto _ : state) {
        const std::size_t at = nextOffset(offset);
        for (std::size_t k = 0; k < kCandidates; ++k) {
            out[k] = estimateScore(*f.order[at + k], f.lut.data(), f.sums);
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * kCandidates);
}

void estimateBlock(benchmark::State& state, SimdPath path) {
    const Fixture& f = fixture();
    float out[kCandidates];
    std::size_t offset = 0;
    for (auto _ : state) {
        scoringKernelsFor(path).estimate_block(f.order.data() + nextOffset(offset), kCandidates, f.lut.data(),
                                               f.sums, out, kCodeGroups);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * kCandidates);
}

void exactI8OneAtATime(benchmark::State& state) {
    const Fixture& f = fixture();
    float out[kCandidates];
    std::size_t offset = 0;
    for (auto _ : state) {
        const std::size_t at = nextOffset(offset);
        for (std::size_t k = 0; k < kCandidates; ++k) {
            out[k] = exactScoreI8(f.query.data(), f.raw_order[at + k], f.scales[at + k]);
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * kCandidates);
}

void exactI8Block(benchmark::State& state, SimdPath path) {
    const Fixture& f = fixture();
    float out[kCandidates];
    std::size_t offset = 0;
    for (auto _ : state) {
        const std::size_t at = nextOffset(offset);
        scoringKernelsFor(path).exact_i8_block(f.query.data(), f.raw_order.data() + at, f.scales.data() + at,
                                               kCandidates, out, kDim);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * kCandidates);
}

void encode(benchmark::State& state) {
    const Fixture& f = fixture();
    std::size_t v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeWithCalibration(v, f.vectors.data() + v * kDim, nullptr, nullptr));
        v = (v + 1) % kStored;
    }
    state.SetItemsProcessed(state.iterations());
}

void prepareQuery(benchmark::State& state) {
    const Fixture& f = fixture();
    float scoring[kDim];
    float lut[kLutSize];
    for (auto _ : state) {
        quantizeQuery(f.query.data(), scoring, kDim);
        benchmark::DoNotOptimize(buildLut(scoring, nullptr, nullptr, lut));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void printRatios(const RateReporter& reporter) {
    const auto rate = [&](const std::string& name) { return reporter.rate(name); };
    const struct {
        const char* base;
        const char* block;
    } families[] = {{"estimate/one_at_a_time", "estimate/block/"},
                    {"exact_i8/one_at_a_time", "exact_i8/block/"}};
    std::printf("\nthroughput relative to the one-at-a-time loop (same run)\n");
    for (const auto& family : families) {
        const double base = rate(family.base);
        if (base <= 0.0) continue;
        for (const SimdPath path : {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512}) {
            const double r = rate(std::string(family.block) + simdPathName(path));
            if (r > 0.0) std::printf("  %-28s %6.2fx\n", (std::string(family.block) + simdPathName(path)).c_str(), r / base);
        }
    }
}

void registerAll() {
    benchmark::RegisterBenchmark("estimate/one_at_a_time", estimateOneAtATime);
    benchmark::RegisterBenchmark("exact_i8/one_at_a_time", exactI8OneAtATime);
    for (const SimdPath path : {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512}) {
        if (!simdPathSupported(path)) continue;
        const std::string name = simdPathName(path);
        benchmark::RegisterBenchmark(("estimate/block/" + name).c_str(), estimateBlock, path);
        benchmark::RegisterBenchmark(("exact_i8/block/" + name).c_str(), exactI8Block, path);
    }
    benchmark::RegisterBenchmark("encode", encode);
    benchmark::RegisterBenchmark("query_quantize_and_table", prepareQuery);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    korvane::registerAll();
    korvane::RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    korvane::printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}

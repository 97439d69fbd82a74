// Rotation and routing projection: one vector and blocks of 64, on every
// kernel path the CPU has, against a plain dot-product loop that the compiler
// may reorder freely. Also index creation, which generates both matrices.
// Ends with a table of ratios measured in this run; with
// --benchmark_repetitions=N it uses the best repetition of each (the machine
// is shared, and interference only ever adds time). Adding
// --benchmark_enable_random_interleaving=true spreads the repetitions so
// that a burst of interference does not hit one kernel only.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "common/memory.h"
#include "common/shape.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/reduced_projection.h"
#include "korvane.h"
#include "support/test_support.h"

namespace {

using namespace korvane;

constexpr std::size_t kBlock = 64;

struct Matrices {
    float* rotation = static_cast<float*>(allocatePages(kRotationFloats * sizeof(float)));
    float* projection = static_cast<float*>(allocatePages(kProjectionFloats * sizeof(float)));
    Matrices() {
        generateRotation(rotation, 42);
        generateProjection(projection, 42);
    }
};

const Matrices& matrices() {
    static const Matrices m;
    return m;
}

const float* matrixFor(std::size_t rows) {
    return rows == kDim ? matrices().rotation : matrices().projection;
}

// The reference: a per-row dot product the compiler may reassociate and
// contract at will, vectorised for this CPU. Only a yardstick; the library
// itself never reorders floating-point sums.
__attribute__((target("avx512f,avx512vl,avx2,fma,prefer-vector-width=512"), optimize("fast-math,fp-contract=fast")))
void plainMatVec(const float* matrix, std::size_t rows, const float* x, float* out) {
    for (std::size_t r = 0; r < rows; ++r) {
        const float* row = matrix + r * kDim;
        float sum = 0.0f;
        for (std::size_t j = 0; j < kDim; ++j) sum += row[j] * x[j];
        out[r] = sum;
    }
}

// Inputs and outputs 64-byte aligned like the library's own buffers (the
// plain loop's speed otherwise depends on where malloc put them).
struct Buffers {
    float* xs;
    float* out;
    Buffers(std::size_t rows, std::size_t count) : xs(allocateArray<float>(count * kDim)), out(allocateArray<float>(rows * count)) {
        const std::vector<float> values = testing::randomVectors(count, 7);
        std::copy(values.begin(), values.end(), xs);
    }
    ~Buffers() {
        releaseArray(xs);
        releaseArray(out);
    }
};

void runKernel(benchmark::State& state, SimdPath path, std::size_t rows, std::size_t count) {
    if (!simdPathSupported(path)) {
        state.SkipWithError("path not supported by this CPU");
        return;
    }
    const float* matrix = matrixFor(rows);
    const Buffers b(rows, count);
    for (auto _ : state) {
        if (count == 1)
            laneDotKernelsFor(path).mat_vec(matrix, rows, b.xs, b.out, kDim);
        else
            laneDotKernelsFor(path).mat_vec_block(matrix, rows, b.xs, count, b.out, kDim);
        benchmark::DoNotOptimize(b.out);
        benchmark::ClobberMemory();
    }
}

void runPlain(benchmark::State& state, std::size_t rows, std::size_t count) {
    const float* matrix = matrixFor(rows);
    const Buffers b(rows, count);
    for (auto _ : state) {
        for (std::size_t v = 0; v < count; ++v) plainMatVec(matrix, rows, b.xs + v * kDim, b.out + v * rows);
        benchmark::DoNotOptimize(b.out);
        benchmark::ClobberMemory();
    }
}

void BM_LaneDot(benchmark::State& state, SimdPath path) {
    if (!simdPathSupported(path)) {
        state.SkipWithError("path not supported by this CPU");
        return;
    }
    const std::vector<float> xs = testing::randomVectors(2, 3);
    for (auto _ : state) benchmark::DoNotOptimize(laneDotKernelsFor(path).lane_dot(xs.data(), xs.data() + kDim, kDim));
}

void BM_IndexCreate(benchmark::State& state) {
    for (auto _ : state) {
        korvane_index* index = korvane_index_create(64, state.iterations());
        benchmark::DoNotOptimize(index);
        korvane_index_destroy(index);
    }
}

void BM_GenerateRotation(benchmark::State& state) {
    float* rotation = static_cast<float*>(allocatePages(kRotationFloats * sizeof(float)));
    for (auto _ : state) generateRotation(rotation, state.iterations());
    releasePages(rotation, kRotationFloats * sizeof(float));
}

void BM_GenerateProjection(benchmark::State& state) {
    float* projection = static_cast<float*>(allocatePages(kProjectionFloats * sizeof(float)));
    for (auto _ : state) generateProjection(projection, state.iterations());
    releasePages(projection, kProjectionFloats * sizeof(float));
}

// The routing code of one vector, exactly (every row by the exact kernel)
// or verified (estimates from the reduced copy, exact rows only near zero),
// over a pool of distinct unit vectors. "cold" evicts the caches between
// calls (untimed), as a graph walk does between two queries.
struct RoutingPool {
    ReducedProjection reduced;
    std::vector<float> unit = testing::randomVectors(kPool, 21);
    std::vector<float> clustered = testing::clusteredVectors(kPool, 8, 0.1f, 22);
    std::vector<char> evictor = std::vector<char>(16u << 20, 1);
    static constexpr std::size_t kPool = 256;
    RoutingPool() {
        allocateReducedProjection(reduced);
        deriveReducedProjection(matrices().projection, reduced);
        normalize(unit);
        normalize(clustered);
    }
    static void normalize(std::vector<float>& vs) {
        for (std::size_t v = 0; v < kPool; ++v) {
            double n = 0;
            for (std::size_t j = 0; j < kDim; ++j) n += double(vs[v * kDim + j]) * vs[v * kDim + j];
            for (std::size_t j = 0; j < kDim; ++j) vs[v * kDim + j] = float(vs[v * kDim + j] / std::sqrt(n));
        }
    }
    void evict() {
        for (std::size_t i = 0; i < evictor.size(); i += 64) evictor[i]++;
        benchmark::ClobberMemory();
    }
    double undecidedShare(const std::vector<float>& vs) const {
        std::size_t rows = 0;
        for (std::size_t v = 0; v < kPool; ++v) rows += undecidedRows(reduced, vs.data() + v * kDim);
        return double(rows) / double(kPool * kRoutingBits);
    }
};

RoutingPool& routingPool() {
    static RoutingPool p;
    return p;
}

void BM_RoutingCode(benchmark::State& state, SimdPath path, bool verified, bool cold) {
    if (!simdPathSupported(path)) return state.SkipWithError("path not supported by this CPU");
    RoutingPool& p = routingPool();
    std::vector<float> projections(kRoutingBits);
    std::size_t v = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            p.evict();
            state.ResumeTiming();
        }
        const float* y = p.unit.data() + v * kDim;
        RoutingCode code;
        if (verified) {
            code = verifiedRoutingCodeOn(path, matrices().projection, p.reduced, y, projections.data());
        } else {
            laneDotKernelsFor(path).mat_vec(matrices().projection, kRoutingBits, y, projections.data(), kDim);
            code = routingCodeOf(projections.data());
        }
        benchmark::DoNotOptimize(code);
        v = (v + 1) % RoutingPool::kPool;
    }
}

struct Workload {
    const char* name;
    std::size_t rows;
    std::size_t count;
};
constexpr Workload kWorkloads[] = {
    {"Rotate", kDim, 1}, {"Project", kRoutingBits, 1}, {"RotateBlock64", kDim, kBlock}, {"ProjectBlock64", kRoutingBits, kBlock}};
constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512};

double minimum(const std::vector<double>& values) {
    double best = values.empty() ? 0.0 : values[0];
    for (double v : values) best = v < best ? v : best;
    return best;
}

std::string routingName(SimdPath path, bool verified, bool cold) {
    return std::string("RoutingCode/") + (verified ? "verified/" : "exact/") + (cold ? "cold/" : "warm/") +
           simdPathName(path);
}

void registerAll() {
    for (const Workload& w : kWorkloads) {
        for (SimdPath path : kPaths)
            benchmark::RegisterBenchmark((std::string(w.name) + "/" + simdPathName(path)).c_str(),
                                         [=](benchmark::State& s) { runKernel(s, path, w.rows, w.count); })
                ->UseRealTime()->ComputeStatistics("min", minimum);
        benchmark::RegisterBenchmark((std::string(w.name) + "/plain").c_str(),
                                     [=](benchmark::State& s) { runPlain(s, w.rows, w.count); })
            ->UseRealTime()->ComputeStatistics("min", minimum);
    }
    for (SimdPath path : kPaths)
        benchmark::RegisterBenchmark((std::string("LaneDot/") + simdPathName(path)).c_str(),
                                     [=](benchmark::State& s) { BM_LaneDot(s, path); })
            ->UseRealTime()->ComputeStatistics("min", minimum);
    for (bool cold : {false, true})
        for (SimdPath path : kPaths)
            for (bool verified : {false, true})
                benchmark::RegisterBenchmark(routingName(path, verified, cold).c_str(),
                                             [=](benchmark::State& s) { BM_RoutingCode(s, path, verified, cold); })
                    ->UseRealTime()->ComputeStatistics("min", minimum);
    benchmark::RegisterBenchmark("GenerateRotation", BM_GenerateRotation)->Unit(benchmark::kMillisecond)->UseRealTime()->ComputeStatistics("min", minimum);
    benchmark::RegisterBenchmark("GenerateProjection", BM_GenerateProjection)->Unit(benchmark::kMillisecond)->UseRealTime()->ComputeStatistics("min", minimum);
    benchmark::RegisterBenchmark("IndexCreate", BM_IndexCreate)->Unit(benchmark::kMillisecond)->UseRealTime()->ComputeStatistics("min", minimum);
}

// Keeps every run's wall time per iteration (the best of the repetitions,
// since the machine is shared) so ratios come from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "min") continue;
            const double t = run.GetAdjustedRealTime() * multiplier(run.time_unit);
            const auto [it, fresh] = ns.emplace(run.run_name.function_name, t);
            if (!fresh && t < it->second) it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    static double multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond: return 1e9;
            case benchmark::kMillisecond: return 1e6;
            case benchmark::kMicrosecond: return 1e3;
            default: return 1.0;
        }
    }
};

void printRatios(const RatioReporter& reporter) {
    std::printf("\nBest wall time per call; speed-up = time of reference / time of kernel:\n");
    std::printf("%-16s %-8s %12s %10s %10s %10s\n", "workload", "path", "ns", "FMA/ns", "vs scalar", "vs plain");
    const auto find = [&](const std::string& name) {
        const auto it = reporter.ns.find(name);
        return it == reporter.ns.end() ? 0.0 : it->second;
    };
    for (const Workload& w : kWorkloads) {
        const double fmas = double(w.rows * kDim * w.count);
        const double scalar = find(std::string(w.name) + "/scalar");
        const double plain = find(std::string(w.name) + "/plain");
        for (SimdPath path : kPaths) {
            const double t = find(std::string(w.name) + "/" + simdPathName(path));
            if (t == 0.0) continue;
            std::printf("%-16s %-8s %12.0f %10.1f %10.2f %10.2f\n", w.name, simdPathName(path), t, fmas / t,
                        scalar > 0 ? scalar / t : 0.0, plain > 0 ? plain / t : 0.0);
        }
        if (plain > 0) std::printf("%-16s %-8s %12.0f %10.1f\n", w.name, "plain", plain, fmas / plain);
    }
    std::printf("\nRouting code of one vector, verified against exact (time ratio, lower is better):\n");
    std::printf("%-8s %-6s %12s %12s %10s\n", "path", "cache", "exact ns", "verified ns", "ratio");
    for (bool cold : {false, true})
        for (SimdPath path : kPaths) {
            const double exact = find(routingName(path, false, cold));
            const double verified = find(routingName(path, true, cold));
            if (exact == 0.0 || verified == 0.0) continue;
            std::printf("%-8s %-6s %12.0f %12.0f %10.3f\n", simdPathName(path), cold ? "cold" : "warm", exact, verified,
                        verified / exact);
        }
    const RoutingPool& p = routingPool();
    std::printf("rows recomputed exactly: %.4f of random unit vectors' rows, %.4f of clustered vectors' rows\n",
                p.undecidedShare(p.unit), p.undecidedShare(p.clustered));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    registerAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}

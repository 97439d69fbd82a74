// Batch insertion: per chunk, levels are drawn on the calling thread, workers
// rotate, encode, route and pick neighbours against the graph as it stood at
// the start of the chunk, and the calling thread commits in input order.
#include "index/batch.h"

#include <cstring>

#include "common/threads.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "graph/heap.h"
#include "graph/insert.h"
#include "graph/layer.h"
#include "graph/search.h"

namespace korvane {
namespace {

constexpr std::uint64_t kPrecomputedLevels = 4;  // layers 0..3
// Items a worker pushes through the block matrix kernels at once.
constexpr std::size_t kMatrixBlock = 16;

struct BatchRecord {
    std::uint64_t level;
    std::uint64_t neighbors[kPrecomputedLevels][kDegree];
    std::uint32_t neighbor_counts[kPrecomputedLevels];
    bool precomputed;
};

struct BatchBuffers {
    float* rotated = nullptr;
    TurboQuantPayload* payloads = nullptr;
    RoutingCode* codes = nullptr;
    std::uint64_t* levels = nullptr;
    BatchRecord* records = nullptr;
};

// Per worker: traversal scratch and room for a block of inputs, rotations
// and projections.
struct WorkerState {
    TraversalScratch scratch;
    float* inputs;       // kMatrixBlock x 256
    float* rotations;    // kMatrixBlock x 256
    float* projections;  // kMatrixBlock x 1024
};

struct Worker {
    const Index* index;
    BatchBuffers* buffers;
    const float* vectors;
    const std::uint64_t* ids;
    std::uint64_t count;
    std::uint64_t stride;
    std::uint64_t number;
    WorkerState* state;
};

bool allocateBuffers(BatchBuffers& b) {
    return (b.rotated = allocateArray<float>(kBatchChunk * kDim)) &&
           (b.payloads = allocateArray<TurboQuantPayload>(kBatchChunk)) &&
           (b.codes = allocateArray<RoutingCode>(kBatchChunk)) &&
           (b.levels = allocateArray<std::uint64_t>(kBatchChunk)) &&
           (b.records = allocateArray<BatchRecord>(kBatchChunk));
}

void releaseBuffers(BatchBuffers& b) {
    releaseArray(b.rotated);
    releaseArray(b.payloads);
    releaseArray(b.codes);
    releaseArray(b.levels);
    releaseArray(b.records);
}

bool allocateWorkerState(WorkerState& w) {
    w = WorkerState{};
    return (w.inputs = allocateArray<float>(kMatrixBlock * kDim)) &&
           (w.rotations = allocateArray<float>(kMatrixBlock * kDim)) &&
           (w.projections = allocateArray<float>(kMatrixBlock * kRoutingBits));
}

void releaseWorkerStates(WorkerState* states, std::uint64_t count) {
    for (std::uint64_t t = 0; t < count; ++t) {
        deinit(states[t].scratch);
        releaseArray(states[t].inputs);
        releaseArray(states[t].rotations);
        releaseArray(states[t].projections);
    }
    releaseArray(states);
}

void selectNeighborsFor(const Index& index, const RoutingCode& code, std::uint64_t level,
                        TraversalScratch& scratch, BatchRecord& record) {
    record = BatchRecord{};
    const RoutingGraph& graph = index.graph;
    if (graph.node_count == 0 || level >= kPrecomputedLevels || level + 1 > graph.layers.len) return;
    std::uint64_t entry = graph.entry_point;
    for (std::size_t l = graph.layers.len - 1; l > level; --l) entry = greedyDescend(graph.layers[l], code, entry);
    for (std::size_t l = level + 1; l-- > 0;) {
        const CandidateList found = searchLayer(graph.layers[l], code, entry, constructionBreadth(graph, graph.node_count), scratch);
        record.neighbor_counts[l] = static_cast<std::uint32_t>(
            selectNeighbors(graph.layers[l], found.items, found.len, record.neighbors[l]));
        if (found.len > 0) entry = found.items[0].node;
    }
    record.level = level;
    record.precomputed = true;
}

// Rotates, encodes and routes a block of this worker's items (j = first,
// first + stride, ...), then selects their neighbours.
void processBlock(const Worker& w, std::uint64_t first, std::size_t items) {
    const Index& index = *w.index;
    WorkerState& s = *w.state;
    for (std::size_t i = 0; i < items; ++i)
        std::memcpy(s.inputs + i * kDim, w.vectors + (first + i * w.stride) * kDim, kDim * sizeof(float));
    matVecBlock(index.rotation, kDim, s.inputs, items, s.rotations);
    matVecBlock(index.projection, kRoutingBits, s.rotations, items, s.projections);
    for (std::size_t i = 0; i < items; ++i) {
        const std::uint64_t j = first + i * w.stride;
        float* rotated = w.buffers->rotated + j * kDim;
        std::memcpy(rotated, s.rotations + i * kDim, kDim * sizeof(float));
        w.buffers->payloads[j] = encodeWithCalibration(w.ids[j], rotated, calibrationMean(index), calibrationStd(index));
        w.buffers->codes[j] = routingCodeOf(s.projections + i * kRoutingBits);
        selectNeighborsFor(index, w.buffers->codes[j], w.buffers->levels[j], s.scratch, w.buffers->records[j]);
    }
}

void runWorker(const Worker& w) {
    for (std::uint64_t first = w.number; first < w.count; first += kMatrixBlock * w.stride) {
        const std::uint64_t remaining = (w.count - first + w.stride - 1) / w.stride;
        processBlock(w, first, remaining < kMatrixBlock ? remaining : kMatrixBlock);
    }
}

void* workerMain(void* arg) {
    runWorker(*static_cast<const Worker*>(arg));
    return nullptr;
}

// Links an item whose neighbours were chosen in the parallel phase. Every
// allocation is secured first, so a failure leaves the graph untouched.
bool linkPrecomputed(RoutingGraph& graph, std::uint64_t n, const RoutingCode& code, const BatchRecord& record) {
    for (std::uint64_t l = 0; l <= record.level; ++l)
        if (!reserveNodeSlot(graph.layers[l])) return false;
    for (std::uint64_t l = 0; l <= record.level; ++l) {
        Layer& layer = graph.layers[l];
        Node node{};
        node.node = n;
        node.code = code;
        node.neighbor_count = record.neighbor_counts[l];
        std::memcpy(node.neighbors, record.neighbors[l], sizeof(std::uint64_t) * node.neighbor_count);
        addNode(layer, node);
        linkBackAll(layer, node.neighbors, node.neighbor_count, n);
    }
    ++graph.node_count;
    return true;
}

bool commitItem(Index& index, const BatchBuffers& b, std::uint64_t j, std::uint64_t id) {
    const std::uint64_t n = index.payloads.len;
    if (!appendNodeData(index, b.payloads[j], b.rotated + j * kDim)) return false;
    const BatchRecord& record = b.records[j];
    const bool linked = record.precomputed ? linkPrecomputed(index.graph, n, b.codes[j], record)
                                           : insertWithLevel(index.graph, n, b.codes[j], b.levels[j]) == Error::Ok;
    if (!linked) {
        rollBackTo(index, n);
        return false;
    }
    registerNode(index, id, n);
    return true;
}

bool hasDuplicates(const Index& index, const std::uint64_t* ids, std::uint64_t count, bool* failed) {
    U64Map<std::uint8_t> seen;
    *failed = !seen.reserve(count);
    bool duplicate = false;
    for (std::uint64_t i = 0; i < count && !*failed && !duplicate; ++i) {
        duplicate = index.id_to_node.contains(ids[i]) || seen.contains(ids[i]);
        seen.insertUnchecked(ids[i], 1);
    }
    seen.deinit();
    return duplicate;
}

struct BatchRun {
    Index& index;
    const std::uint64_t* ids;
    const float* vectors;
    std::uint64_t count;
    std::uint64_t workers;
    BatchBuffers buffers;
    WorkerState* states = nullptr;
    Worker* args = nullptr;
    pthread_t* handles = nullptr;
};

// Runs the parallel phase of one chunk; false when a thread failed to start.
bool runParallelPhase(BatchRun& run, std::uint64_t done, std::uint64_t chunk) {
    for (std::uint64_t t = 0; t < run.workers; ++t)
        run.args[t] = Worker{&run.index, &run.buffers, run.vectors + done * kDim, run.ids + done, chunk,
                             run.workers, t, &run.states[t]};
    if (run.workers < 2 || chunk < 2) {
        runWorker(run.args[0]);
        return true;
    }
    return runWorkers(run.handles, run.workers, workerMain, run.args);
}

bool processChunk(BatchRun& run, std::uint64_t done, std::uint64_t chunk) {
    RoutingGraph& graph = run.index.graph;
    for (std::uint64_t j = 0; j < chunk; ++j) run.buffers.levels[j] = drawLevel(graph);
    for (std::uint64_t t = 0; t < run.workers; ++t)
        if (!ensureCapacity(run.states[t].scratch, graph.node_count + 1, constructionBreadth(graph, graph.node_count))) return false;
    if (!runParallelPhase(run, done, chunk)) return false;
    for (std::uint64_t j = 0; j < chunk; ++j)
        if (!commitItem(run.index, run.buffers, j, run.ids[done + j])) return false;
    return true;
}

bool allocateRun(BatchRun& run) {
    if (!allocateBuffers(run.buffers)) return false;
    run.states = allocateArray<WorkerState>(run.workers);
    if (!run.states) return false;
    for (std::uint64_t t = 0; t < run.workers; ++t) run.states[t] = WorkerState{};
    for (std::uint64_t t = 0; t < run.workers; ++t)
        if (!allocateWorkerState(run.states[t])) return false;
    return (run.args = allocateArray<Worker>(run.workers)) && (run.handles = allocateArray<pthread_t>(run.workers));
}

void releaseRun(BatchRun& run) {
    releaseBuffers(run.buffers);
    if (run.states) releaseWorkerStates(run.states, run.workers);
    releaseArray(run.args);
    releaseArray(run.handles);
}

}  // namespace

std::uint64_t batchChunkSize(std::uint64_t node_count, std::uint64_t remaining) {
    std::uint64_t chunk = node_count > 1 ? node_count : 1;
    if (chunk > remaining) chunk = remaining;
    return chunk < kBatchChunk ? chunk : kBatchChunk;
}

Error addBatch(Index& index, const std::uint64_t* ids, const float* vectors, std::uint64_t count,
                   std::uint64_t threads) {
    if (count == 0) return Error::Ok;
    bool failed = false;
    if (hasDuplicates(index, ids, count, &failed)) return Error::DuplicateId;
    if (failed) return Error::OutOfMemory;

    // More workers than the largest chunk would never get an item.
    std::uint64_t workers = threads > 1 ? threads : 1;
    if (workers > kBatchChunk) workers = kBatchChunk;
    BatchRun run{index, ids, vectors, count, workers, {}};
    bool ok = allocateRun(run);
    for (std::uint64_t done = 0; ok && done < count;) {
        const std::uint64_t chunk = batchChunkSize(index.graph.node_count, count - done);
        ok = processChunk(run, done, chunk);
        done += chunk;
    }
    releaseRun(run);
    return ok ? Error::Ok : Error::OutOfMemory;
}

}  // namespace korvane

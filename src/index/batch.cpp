// Batch insertion: per chunk, levels are drawn on the calling thread, a crew
// of workers rotates, encodes, routes and plans every item against the graph
// as it stood at the start of the chunk, and the items are committed in
// input order, their link-backs shared out over the same crew.
#include "index/batch.h"

#include <chrono>
#include <cstring>

#include "common/crew.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "graph/commit.h"
#include "graph/heap.h"
#include "graph/insert.h"
#include "index/metric.h"

namespace korvane {
namespace {

// Items a worker pushes through the block matrix kernels at once.
constexpr std::size_t kMatrixBlock = 16;

// Per chunk item; vectors are `padded` floats or bytes, payloads
// `payloadBytes` apart.
struct BatchBuffers {
    float* rotated = nullptr;
    std::int8_t* raw_bytes = nullptr;
    RawCopy* raw_copies = nullptr;
    std::uint64_t* payload_words = nullptr;
    std::size_t payload_stride = 0;
    RoutingCode* codes = nullptr;
    std::uint64_t* levels = nullptr;
    InsertionPlan* plans = nullptr;
};

// Per worker: traversal scratch and room for a block of inputs, rotations
// and projections.
struct WorkerState {
    TraversalScratch scratch;
    float* inputs;       // kMatrixBlock x dim
    float* rotations;    // kMatrixBlock x padded
    float* projections;  // kMatrixBlock x 1024
};

TurboQuantPayload& payloadAt(const BatchBuffers& b, std::size_t j) {
    return *reinterpret_cast<TurboQuantPayload*>(reinterpret_cast<unsigned char*>(b.payload_words) + j * b.payload_stride);
}

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

bool allocateBuffers(BatchBuffers& b, const Shape& shape) {
    b.payload_stride = payloadBytes(shape);
    return (b.rotated = allocateArray<float>(kBatchChunk * shape.padded)) &&
           (b.raw_bytes = allocateArray<std::int8_t>(kBatchChunk * shape.padded)) &&
           (b.raw_copies = allocateArray<RawCopy>(kBatchChunk)) &&
           (b.payload_words = allocateArray<std::uint64_t>(kBatchChunk * b.payload_stride / 8)) &&
           (b.codes = allocateArray<RoutingCode>(kBatchChunk)) &&
           (b.levels = allocateArray<std::uint64_t>(kBatchChunk)) &&
           (b.plans = allocateArray<InsertionPlan>(kBatchChunk));
}

void releaseBuffers(BatchBuffers& b) {
    releaseArray(b.rotated);
    releaseArray(b.raw_bytes);
    releaseArray(b.raw_copies);
    releaseArray(b.payload_words);
    releaseArray(b.codes);
    releaseArray(b.levels);
    releaseArray(b.plans);
}

bool allocateWorkerState(WorkerState& w, const Shape& shape) {
    w = WorkerState{};
    return (w.inputs = allocateArray<float>(kMatrixBlock * shape.padded)) &&
           (w.rotations = allocateArray<float>(kMatrixBlock * shape.padded)) &&
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

// Rotates, encodes and routes a block of this worker's items (j = first,
// first + stride, ...), then selects their neighbours.
void processBlock(const Worker& w, std::uint64_t first, std::size_t items) {
    const Index& index = *w.index;
    const Shape& shape = index.shape;
    const std::size_t padded = shape.padded;
    WorkerState& s = *w.state;
    for (std::size_t i = 0; i < items; ++i)
        std::memcpy(s.inputs + i * shape.dim, w.vectors + (first + i * w.stride) * shape.dim, shape.dim * sizeof(float));
    // Every vector was checked before the batch began, so all are usable.
    bool usable[kMatrixBlock];
    prepareBlock(index, s.inputs, items, s.rotations, s.inputs, usable);
    matVecBlock(index.projection, kRoutingBits, s.rotations, items, s.projections, padded);
    TurboQuantPayload payload;
    for (std::size_t i = 0; i < items; ++i) {
        const std::uint64_t j = first + i * w.stride;
        float* rotated = w.buffers->rotated + j * padded;
        std::memcpy(rotated, s.rotations + i * padded, padded * sizeof(float));
        encodePayload(shape, w.ids[j], rotated, calibrationMean(index), calibrationStd(index), payload);
        std::memcpy(&payloadAt(*w.buffers, j), &payload, w.buffers->payload_stride);
        w.buffers->raw_copies[j] = makeRawCopy(index, rotated, w.buffers->raw_bytes + j * padded);
        w.buffers->codes[j] = routingCodeOf(s.projections + i * kRoutingBits);
        planInsertion(index.graph, w.buffers->codes[j], w.buffers->levels[j], s.scratch, w.buffers->plans[j]);
    }
}

void runWorker(const Worker& w) {
    for (std::uint64_t first = w.number; first < w.count; first += kMatrixBlock * w.stride) {
        const std::uint64_t remaining = (w.count - first + w.stride - 1) / w.stride;
        processBlock(w, first, remaining < kMatrixBlock ? remaining : kMatrixBlock);
    }
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

// Under cosine every vector must have a direction, checked before anything
// changes.
bool allHaveDirection(const Index& index, const float* vectors, std::uint64_t count) {
    if (index.shape.metric != Metric::Cosine) return true;
    for (std::uint64_t i = 0; i < count; ++i)
        if (!hasDirection(vectors + i * index.shape.dim, index.shape.dim)) return false;
    return true;
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
    Crew crew;  // only with two or more workers
    BatchProfile* profile;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void planTask(void* context, std::size_t t) { runWorker(static_cast<const BatchRun*>(context)->args[t]); }

// Encodes and plans the chunk's items: posted to the crew, or done on the
// calling thread without one.
void startPlanning(BatchRun& run, std::uint64_t done, std::uint64_t chunk, Crew* crew) {
    for (std::uint64_t t = 0; t < run.workers; ++t)
        run.args[t] = Worker{&run.index, &run.buffers, run.vectors + done * run.index.shape.dim, run.ids + done, chunk,
                             run.workers, t, &run.states[t]};
    if (crew) {
        postToCrew(*crew, planTask, &run);
    } else {
        runWorker(run.args[0]);
    }
}

// Grows every store for the whole chunk, as one-by-one commits would grow
// them, with layer 0 copied while the workers plan (they read only the
// graph); returns how many items have room: all of them, or after a failed
// allocation, as many as fit in what there is.
std::uint64_t secureChunkRoom(Index& index, const std::uint64_t* levels, std::uint64_t chunk, Crew* crew) {
    BaseGrowth growth;
    const bool staged = reserveNodeData(index, chunk) && stageBaseGrowth(index.graph, chunk, growth);
    if (crew) waitForCrew(*crew);
    adoptBaseGrowth(index.graph, growth);
    if (staged && reserveChunkRoom(index.graph, levels, chunk)) return chunk;
    const std::uint64_t room = itemsThatFit(index.graph, levels, chunk);
    return room < nodeDataRoom(index) ? room : nodeDataRoom(index);
}

// Commits the chunk's first `room` items, whose room is reserved; returns
// how many were committed (fewer when an unplanned item's insertion failed).
std::uint64_t commitItems(BatchRun& run, std::uint64_t done, std::uint64_t room, Crew* crew) {
    Index& index = run.index;
    const BatchBuffers& b = run.buffers;
    const std::uint64_t first = index.payloads.len;
    std::uint64_t appended = 0;
    while (appended < room && appendNodeData(index, payloadAt(b, appended), b.raw_copies[appended])) ++appended;
    double* linking_back = run.profile ? &run.profile->linking_back_seconds : nullptr;
    const std::uint64_t committed =
        commitChunk(index.graph, {first, b.codes, b.levels, b.plans, appended, linking_back}, crew);
    rollBackTo(index, first + committed);
    for (std::uint64_t j = 0; j < committed; ++j) registerNode(index, run.ids[done + j], first + j);
    return committed;
}

// A thread that cannot start fails the chunk before anything is committed.
// An allocation failure fails it at the first item without room (or at an
// item inserted without a plan), after committing the items before it.
bool processChunk(BatchRun& run, std::uint64_t done, std::uint64_t chunk) {
    RoutingGraph& graph = run.index.graph;
    for (std::uint64_t j = 0; j < chunk; ++j) run.buffers.levels[j] = drawLevel(graph);
    for (std::uint64_t t = 0; t < run.workers; ++t)
        if (!ensureCapacity(run.states[t].scratch, graph.node_count + 1, constructionBreadth(graph, graph.node_count))) return false;
    Crew* crew = run.workers > 1 && chunk > 1 ? &run.crew : nullptr;
    if (crew && !startCrew(*crew)) return false;
    const auto planning = std::chrono::steady_clock::now();
    startPlanning(run, done, chunk, crew);
    // With a crew this is only the posting: planning overlaps what follows.
    if (run.profile) run.profile->planning_seconds += secondsSince(planning);
    const std::uint64_t room = secureChunkRoom(run.index, run.buffers.levels, chunk, crew);
    const std::uint64_t committed = commitItems(run, done, room, crew);
    if (crew) stopCrew(*crew);
    return committed == chunk;
}

bool allocateRun(BatchRun& run) {
    const Shape& shape = run.index.shape;
    if (!allocateBuffers(run.buffers, shape)) return false;
    run.states = allocateArray<WorkerState>(run.workers);
    if (!run.states) return false;
    for (std::uint64_t t = 0; t < run.workers; ++t) run.states[t] = WorkerState{};
    for (std::uint64_t t = 0; t < run.workers; ++t)
        if (!allocateWorkerState(run.states[t], shape)) return false;
    run.args = allocateArray<Worker>(run.workers);
    return run.args && (run.workers < 2 || initCrew(run.crew, run.workers));
}

void releaseRun(BatchRun& run) {
    releaseBuffers(run.buffers);
    if (run.states) releaseWorkerStates(run.states, run.workers);
    releaseArray(run.args);
    deinitCrew(run.crew);
}

}  // namespace

std::uint64_t batchChunkSize(std::uint64_t node_count, std::uint64_t remaining) {
    std::uint64_t chunk = node_count > 1 ? node_count : 1;
    if (chunk > remaining) chunk = remaining;
    return chunk < kBatchChunk ? chunk : kBatchChunk;
}

namespace {

bool asksToStop(const BatchObserver& observer, std::uint64_t done, std::uint64_t total) {
    return observer.report && observer.report(observer.user, done, total) != 0;
}

Error addChecked(Index& index, const std::uint64_t* ids, const float* vectors, std::uint64_t count,
                 std::uint64_t threads, BatchProfile* profile, const BatchObserver& observer) {
    // More nodes than a graph can number: refused before anything changes.
    if (count > kMaxNodes - index.payloads.len) return Error::OutOfMemory;
    bool failed = false;
    if (hasDuplicates(index, ids, count, &failed)) return Error::DuplicateId;
    if (failed) return Error::OutOfMemory;
    if (!allHaveDirection(index, vectors, count)) return Error::InvalidArgument;
    const bool first = index.payloads.len == 0 && !index.centred;
    // From the whole batch even if it is stopped: the rest of it, added
    // later, then completes the very index one uninterrupted call makes.
    setCentreOnce(index, vectors, count);

    // More workers than the largest chunk would never get an item.
    std::uint64_t workers = threads > 1 ? threads : 1;
    if (workers > kBatchChunk) workers = kBatchChunk;
    BatchRun run{index, ids, vectors, count, workers, {}, nullptr, nullptr, {}, profile};
    bool ok = allocateRun(run);
    bool stop = ok && asksToStop(observer, 0, count);
    for (std::uint64_t done = 0; ok && !stop && done < count;) {
        const std::uint64_t chunk = batchChunkSize(index.graph.node_count, count - done);
        ok = processChunk(run, done, chunk);
        done += chunk;
        // A request after the last chunk has nothing left to stop.
        if (ok) stop = asksToStop(observer, done, count) && done < count;
    }
    releaseRun(run);
    if (first && index.payloads.len == 0) index.centred = false;  // nothing went in: no centre either
    if (!ok) return Error::OutOfMemory;
    return stop ? Error::Stopped : Error::Ok;
}

}  // namespace

Error addBatch(Index& index, const std::uint64_t* ids, const float* vectors, std::uint64_t count,
               std::uint64_t threads, BatchProfile* profile, BatchObserver observer, std::uint64_t* added) {
    const auto start = std::chrono::steady_clock::now();
    if (profile) *profile = BatchProfile{};
    // Every item goes in as one node, appended in input order.
    const std::uint64_t before = index.payloads.len;
    const Error result = count == 0 ? Error::Ok : addChecked(index, ids, vectors, count, threads, profile, observer);
    if (added) *added = index.payloads.len - before;
    if (profile) profile->total_seconds = secondsSince(start);
    return result;
}

}  // namespace korvane

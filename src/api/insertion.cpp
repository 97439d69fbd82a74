// Exported insertion and removal.
#include "api/handles.h"
#include "api/status.h"
#include "index/batch.h"
#include "index/compact.h"
#include "index/insert.h"
#include "korvane.h"

extern "C" {

int32_t korvane_index_add(korvane_index* index, uint64_t id, const float* vector) {
    return korvane::statusCode(korvane::addVector(*korvane::fromHandle(index), id, vector));
}

int32_t korvane_index_add_batch(korvane_index* index, const uint64_t* ids, const float* vectors, uint64_t count,
                                uint64_t threads) {
    return korvane::statusCode(korvane::addBatch(*korvane::fromHandle(index), ids, vectors, count, threads));
}

int32_t korvane_index_add_batch_progress(korvane_index* index, const uint64_t* ids, const float* vectors,
                                         uint64_t count, uint64_t threads, korvane_progress_fn progress, void* user,
                                         uint64_t* added) {
    return korvane::statusCode(korvane::addBatch(*korvane::fromHandle(index), ids, vectors, count, threads, nullptr,
                                                 {progress, user}, added));
}

int32_t korvane_index_remove(korvane_index* index, uint64_t id) {
    return korvane::statusCode(korvane::removeId(*korvane::fromHandle(index), id));
}

int32_t korvane_index_compact(korvane_index* index) {
    return korvane::statusCode(korvane::compactIndex(*korvane::fromHandle(index)));
}

}  // extern "C"

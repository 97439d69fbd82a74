#include "index/context.h"

#include <new>

#include "graph/heap.h"

namespace korvane {

Error initContext(SearchContext& context, const Index& index, std::uint64_t ef_search) {
    context = SearchContext{};
    const std::uint64_t nodes = index.payloads.len > 0 ? index.payloads.len : 1;
    bool ok = (context.query_rotated = allocateArray<float>(index.shape.padded)) &&
              (context.query_scoring = allocateArray<float>(index.shape.padded)) &&
              (context.lut = allocateArray<float>(index.shape.lutSize()));
    if (ok && ef_search >= (std::uint64_t{1} << 60)) ok = false;
    if (ok && ef_search > 0) ok = (context.rerank = allocateArray<SearchResult>(ef_search)) != nullptr;
    if (ok) ok = (context.query_projected = allocateArray<float>(kRoutingBits)) != nullptr;
    if (ok) ok = ensureCapacity(context.scratch, nodes, ef_search);
    if (!ok) {
        deinit(context);
        return Error::OutOfMemory;
    }
    context.ef_search = ef_search;
    context.rerank_factor = kRerankFactor;
    return Error::Ok;
}

void deinit(SearchContext& context) {
    deinit(context.scratch);
    releaseArray(context.query_rotated);
    releaseArray(context.query_projected);
    releaseArray(context.query_scoring);
    releaseArray(context.lut);
    releaseArray(context.rerank);
    context = SearchContext{};
}

SearchContext* createContext(const Index& index, std::uint64_t ef_search) {
    if (ef_search == 0) return nullptr;
    void* record = allocateBytes(sizeof(SearchContext));
    if (!record) return nullptr;
    auto* context = new (record) SearchContext{};
    if (initContext(*context, index, ef_search) != Error::Ok) {
        releaseBytes(record);
        return nullptr;
    }
    return context;
}

void destroyContext(SearchContext* context) {
    if (!context) return;
    deinit(*context);
    releaseBytes(context);
}

}  // namespace korvane

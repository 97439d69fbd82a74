#include "index_object.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>

#include "korvane.h"

namespace korvane_py {

void throwClosed() { throw pybind11::value_error("the index is closed"); }

void refuseInsideOwnAdd(const IndexObject& object) {
    if (reporting_add == &object)
        throw std::runtime_error("the index cannot be used from the progress callable of its own add; "
                                 "use it once add returns");
}

IndexObject* openIndexObject(korvane_index* handle) {
    std::unique_ptr<IndexObject> object;
    try {
        object = std::make_unique<IndexObject>();
        reserveContextPool(object->contexts);
        object->dim = korvane_index_dim(handle);
        object->metric = korvane_index_metric(handle);
        object->probe.assign(object->dim, 0.0f);
        if (object->metric == KORVANE_METRIC_COSINE) object->probe[0] = 1.0f;
    } catch (...) {
        korvane_index_destroy(handle);
        throw;
    }
    object->handle = handle;
    return object.release();
}

IndexObject::~IndexObject() {
    destroyContexts(contexts);
    korvane_index_destroy(handle);
}

void closeIndexObject(IndexObject& object) {
    refuseInsideOwnAdd(object);
    lockExclusive(object.lock);
    destroyContexts(object.contexts);
    korvane_index_destroy(object.handle);
    object.handle = nullptr;
    unlockExclusive(object.lock);
}

ReadAccess::ReadAccess(IndexObject& o) : object(o) {
    refuseInsideOwnAdd(object);
    lockShared(object.lock);
    if (!object.handle) {
        unlockShared(object.lock);
        throwClosed();
    }
}

ReadAccess::~ReadAccess() { unlockShared(object.lock); }

WriteAccess::WriteAccess(IndexObject& o) : object(o) {
    refuseInsideOwnAdd(object);
    lockExclusive(object.lock);
    if (!object.handle) {
        unlockExclusive(object.lock);
        throwClosed();
    }
}

WriteAccess::~WriteAccess() { unlockExclusive(object.lock); }

bool containsId(IndexObject& object, uint64_t id) {
    PooledContext pooled(object.contexts, object.handle, 1, 4, KORVANE_WALK_HAMMING);  // filtered searches never re-rank
    if (!pooled.context) throw std::bad_alloc();
    uint64_t found_id = 0;
    float score = 0.0f;
    return korvane_search_filtered(object.handle, pooled.context, object.probe.data(), &id, 1, 1, &found_id, &score) == 1;
}

}  // namespace korvane_py

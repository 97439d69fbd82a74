// korvane.Index operations other than search: creation, insertion,
// removal, saving and loading. Each waits for the index lock with the GIL
// released.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

#include "index_object.h"

namespace korvane_py {

IndexObject* createIndex(pybind11::object ef_construction, pybind11::object seed, pybind11::object store,
                         pybind11::object dim, pybind11::object metric);
void addVectors(IndexObject& object, pybind11::object vectors, pybind11::object ids, pybind11::object threads,
                pybind11::object progress);
uint64_t removeIds(IndexObject& object, pybind11::object ids);
void compactIndex(IndexObject& object);
bool containsObject(IndexObject& object, pybind11::object id);
void saveIndex(IndexObject& object, pybind11::object path);
IndexObject* loadIndex(pybind11::object path);

// "int8", "f32" or "none".
std::string storeName(IndexObject& object);

// "ip", "cosine" or "l2".
std::string metricName(IndexObject& object);
uint32_t indexDim(IndexObject& object);

}  // namespace korvane_py

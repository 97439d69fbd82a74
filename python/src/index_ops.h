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

IndexObject* createIndex(pybind11::handle ef_construction, pybind11::handle seed, const std::string& store);
void addVectors(IndexObject& object, pybind11::handle vectors, pybind11::handle ids, std::optional<int64_t> threads);
uint64_t removeIds(IndexObject& object, pybind11::handle ids);
bool containsObject(IndexObject& object, pybind11::handle id);
void saveIndex(IndexObject& object, pybind11::handle path);
IndexObject* loadIndex(pybind11::handle path);

// "int8", "f32" or "none".
std::string storeName(IndexObject& object);

}  // namespace korvane_py

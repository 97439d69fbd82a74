// korvane.Index.search: argument checks, the choice of C call, padding.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

#include "index_object.h"

namespace korvane_py {

pybind11::tuple searchIndex(IndexObject& object, pybind11::object queries, int64_t k, int64_t ef, int64_t rerank,
                            std::optional<int64_t> threads, pybind11::object filter);

}  // namespace korvane_py

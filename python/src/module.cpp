// The compiled part of the korvane package: korvane._korvane.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "bench_hooks.h"
#include "conversion.h"
#include "docstrings.h"
#include "errors.h"
#include "index_object.h"
#include "index_ops.h"
#include "search.h"

namespace py = pybind11;
using namespace korvane_py;

namespace {

void bindIndex(py::module_& module) {
    py::class_<IndexObject>(module, "Index", doc::kIndex)
        // dim and metric by keyword only: the first three positions have
        // always been ef_construction, seed and store.
        .def(py::init(&createIndex), py::arg("ef_construction") = 200, py::arg("seed") = 0,
             py::arg("store") = "int8", py::kw_only(), py::arg("dim") = KORVANE_DIM, py::arg("metric") = "ip")
        .def("add", &addVectors, py::arg("vectors"), py::arg("ids") = py::none(), py::arg("threads") = py::none(),
             py::arg("progress") = py::none(), doc::kAdd)
        .def("remove", &removeIds, py::arg("ids"), doc::kRemove)
        .def("compact", &compactIndex, doc::kCompact)
        // Index.search is a Python function (korvane/__init__.py) that passes
        // everything by position: pybind11's keyword matching would cost
        // several times what the rest of the call does.
        .def("_search", &searchIndex)
        .def("save", &saveIndex, py::arg("path"), doc::kSave)
        .def_static("load", &loadIndex, py::arg("path"), doc::kLoad)
        .def("close", &closeIndexObject, py::call_guard<py::gil_scoped_release>(), doc::kClose)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](IndexObject& self, py::args) { py::gil_scoped_release released; closeIndexObject(self); })
        .def("__len__", [](IndexObject& self) { return quickRead(self, korvane_index_len); }, doc::kLen)
        .def("__contains__", &containsObject, py::arg("id"), doc::kContains)
        .def_property_readonly(
            "memory_bytes", [](IndexObject& self) { return quickRead(self, korvane_index_memory_bytes); },
            doc::kMemory)
        .def_property_readonly("store", &storeName, doc::kStore)
        .def_property_readonly("dim", &indexDim, doc::kDim)
        .def_property_readonly("metric", &metricName, doc::kMetric)
        .def("__repr__", [](IndexObject& self) {
            if (!self.handle) return std::string("<korvane.Index (closed)>");
            // The default shape keeps the text it always had.
            std::string shape;
            if (self.dim != KORVANE_DIM || self.metric != KORVANE_METRIC_IP)
                shape = "dim=" + std::to_string(self.dim) + ", metric=\"" + metricName(self) + "\", ";
            return "<korvane.Index: " + std::to_string(quickRead(self, korvane_index_len)) + " vectors, " + shape +
                   "store=\"" + storeName(self) + "\">";
        });
}

// The argument checks of Index, for korvane.distributed to apply the same
// rules before it routes anything to a shard.
void bindConversions(py::module_& module) {
    module.def("_to_ids", [](py::object ids, const char* what) { return toIds(ids, what); });
    // dim 0 takes any width; metric as the index codes it; `stored`: the
    // rows are to be stored (cosine refuses zero rows then).
    module.def(
        "_to_rows",
        [](py::object vectors, const char* what, uint32_t dim, uint32_t metric, bool stored, const char* dim_owner) {
            Rows rows = toRows(vectors, what, dim, metric, stored, dim_owner);
            return py::make_tuple(
                rows.array.reshape({static_cast<py::ssize_t>(rows.count), static_cast<py::ssize_t>(rows.dim)}),
                rows.single);
        },
        py::arg("vectors"), py::arg("what"), py::arg("dim") = KORVANE_DIM, py::arg("metric") = KORVANE_METRIC_IP,
        py::arg("stored") = false, py::arg("dim_owner") = "the index's dimension");
}

}  // namespace

PYBIND11_MODULE(_korvane, module) {
    module.doc() = doc::kModule;
    module.attr("DIM") = KORVANE_DIM;
    module.attr("MAX_DIM") = KORVANE_MAX_DIM;
    module.attr("METRICS") = py::make_tuple("ip", "cosine", "l2");
    module.attr("MAX_K") = KORVANE_MAX_K;
    module.attr("NO_ID") = py::int_(std::numeric_limits<uint64_t>::max());
    module.attr("__version__") = KORVANE_VERSION;
    module.attr("_SEARCH_DOC") = doc::kSearch;
    registerErrors(module);
    module.attr("DuplicateIdError").attr("__doc__") = doc::kDuplicate;
    module.attr("IndexFileError").attr("__doc__") = doc::kIndexFile;
    bindIndex(module);
    bindConversions(module);
    bindBenchHooks(module);
}

// korvane info: what an index file holds.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "index_file.h"
#include "library.h"
#include "table.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane info INDEX\n"
    "\n"
    "Loads INDEX with the library (a file the library refuses is reported as\n"
    "such), then describes it: dimension and metric, vectors stored, live and\n"
    "removed, the graph's layers, the store of raw copies kept for exact\n"
    "re-scoring, calibration, and where the bytes of the file go.\n";


void printLine(const char* label, const std::string& value) {
    std::printf("%-18s %s\n", label, value.c_str());
}

void printCounts(const IndexFileLayout& layout, const korvane_index* index) {
    printLine("dimension", std::to_string(korvane_index_dim(index)));
    const std::uint32_t metric = korvane_index_metric(index);
    printLine("metric", std::string(metricName(metric)) + " (score: " + scoreMeaning(metric) + ")");
    printLine("nodes", grouped(layout.node_count) + " (vectors ever added)");
    printLine("live", grouped(korvane_index_len(index)));
    printLine("removed", grouped(layout.removed));
    printLine("ef_construction", std::to_string(layout.ef_construction));
    const std::uint32_t store = korvane_index_raw_store(index);
    printLine("raw copies", std::string(rawModeName(static_cast<std::uint8_t>(store))) + " (store " +
                                storeName(store) + ")");
    printLine("calibration", layout.calibrated ? "present (per-dimension mean and deviation)" : "none");
    printLine("memory estimate", grouped(korvane_index_memory_bytes(index)) + " bytes");
}

void printLayers(const IndexFileLayout& layout) {
    printLine("layers", std::to_string(layout.layers.size()) + " (entry point: node " +
                            std::to_string(layout.entry_point) + ")");
    for (std::size_t l = 0; l < layout.layers.size(); ++l) {
        const LayerSummary& layer = layout.layers[l];
        const double per_node = layer.nodes ? static_cast<double>(layer.links) / layer.nodes : 0.0;
        printLine(("  layer " + std::to_string(l)).c_str(),
                  grouped(layer.nodes) + " nodes, " + grouped(layer.links) + " links (" +
                      fixed(per_node, 1) + " per node)");
    }
}

void printBlock(const char* name, std::uint64_t bytes) {
    std::printf("  %-16s %13s\n", name, grouped(bytes).c_str());
}

void printBytes(const IndexFileLayout& layout) {
    const std::uint64_t n = layout.node_count;
    printLine("file size", grouped(layout.file_bytes) + " bytes" +
                               (n ? " (" + grouped(layout.file_bytes / n) + " per vector)" : ""));
    printBlock("header", layout.header_bytes);
    if (layout.shaped) {
        printBlock(layout.centred ? "shape and centre" : "shape", layout.shape_bytes);
    } else {
        printBlock("calibration", layout.calibration_bytes);
        printBlock("matrices", layout.matrix_bytes);
    }
    printBlock("payloads", layout.payload_bytes);
    printBlock("raw copies", layout.raw_bytes);
    if (layout.length_bytes) printBlock("squared lengths", layout.length_bytes);
    printBlock("graph", layout.graph_bytes);
    printBlock("removals", layout.removal_bytes);
    printBlock("metadata", layout.metadata_block_bytes);
    if (layout.trailing_bytes) printBlock("ignored tail", layout.trailing_bytes);
}

}  // namespace

int runInfo(const Words& words) {
    Args args;
    if (!parseOrHelp(words, {}, kAbout, args)) return kExitOk;
    expectPositionals(args, 1, "korvane info INDEX");
    const std::string& path = args.positionals[0];
    const IndexPtr index = loadIndex(path);
    const IndexFileLayout layout = readIndexFileLayout(path);
    printLine("file", path);
    printCounts(layout, index.get());
    printLayers(layout);
    printBytes(layout);
    return kExitOk;
}

}  // namespace korvane::tool

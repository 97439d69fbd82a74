// Linking nodes into the layered graph. insertWithLevel secures every
// allocation first, then plans and commits, so a failure leaves the graph as
// it was and a success cannot be interrupted half-way.
#include "graph/insert.h"

#include <cmath>
#include <cstring>

#include "graph/candidate_sort.h"
#include "graph/hamming.h"
#include "graph/heap.h"
#include "graph/layer.h"
#include "graph/search.h"

namespace korvane {
namespace {

constexpr std::size_t kPrunePool = kDegree + 1;

const RoutingCode& codeOf(const Layer& layer, std::uint64_t node) {
    return layer.codes[positionOf(layer, node)];
}

// A candidate stays out of the diverse set when a chosen node is strictly
// closer to it than the list owner is, or has exactly its code. All distances
// are taken in one batch: rejections are rare enough that stopping at the
// first one would save less than the batch gains.
bool isDiverse(const Layer& layer, const Candidate& candidate, const std::uint32_t* chosen_positions,
               std::size_t chosen) {
    std::uint32_t distances[kDegree];
    hammingDistances(codeOf(layer, candidate.node), layer.codes.data, chosen_positions, chosen, distances);
    for (std::size_t s = 0; s < chosen; ++s)
        if (distances[s] < candidate.distance || distances[s] == 0) return false;
    return true;
}

bool isListed(const std::uint32_t* list, std::size_t len, std::uint64_t node) {
    for (std::size_t i = 0; i < len; ++i)
        if (list[i] == node) return true;
    return false;
}

// Drops the layers appended by a failed reservation.
void dropLayersFrom(RoutingGraph& graph, std::size_t len) {
    for (std::size_t l = len; l < graph.layers.len; ++l) {
        graph.layers[l].nodes.deinit();
        graph.layers[l].codes.deinit();
        graph.layers[l].positions.deinit();
    }
    graph.layers.truncate(len);
}

// Makes room for one record on layers 0..joined-1, creating the missing ones.
// Existing layers may gain capacity but keep their contents; on failure the
// created layers are removed again.
bool reserveJoinedLayers(RoutingGraph& graph, std::size_t joined) {
    const std::size_t old_len = graph.layers.len;
    if (joined > old_len && !graph.layers.reserve(joined)) return false;
    for (std::size_t l = 0; l < old_len && l < joined; ++l)
        if (!reserveNodeSlot(graph.layers[l])) return false;
    ensureLayerCount(graph, joined);  // capacity reserved above: cannot fail
    for (std::size_t l = old_len; l < joined; ++l) {
        if (!reserveNodeSlot(graph.layers[l])) {
            dropLayersFrom(graph, old_len);
            return false;
        }
    }
    return true;
}

void prefetchRecord(const Layer& layer, std::uint64_t node) {
    const char* bytes = reinterpret_cast<const char*>(&layer.nodes[positionOf(layer, node)]);
    for (std::size_t offset = 0; offset < sizeof(Node); offset += 64) __builtin_prefetch(bytes + offset);
    __builtin_prefetch(bytes + sizeof(Node) - 1);
}

// The codes a full list's pruning will compare.
void prefetchNeighbourCodes(const Layer& layer, std::uint64_t node) {
    const Node& record = layer.nodes[positionOf(layer, node)];
    if (record.neighbor_count < kDegree) return;
    for (std::size_t i = 0; i < kDegree; ++i) {
        const char* code = reinterpret_cast<const char*>(&layer.codes[positionOf(layer, record.neighbors[i])]);
        __builtin_prefetch(code);
        __builtin_prefetch(code + 64);
    }
}

void insertFirst(RoutingGraph& graph, const Node& record, const RoutingCode& code) {
    for (Layer& layer : graph.layers) addNode(layer, record, code);
    graph.entry_point = record.node;
    graph.node_count = 1;
}

// Levels above the old top: the node is alone there and becomes the entry.
void raiseTop(RoutingGraph& graph, const Node& record, const RoutingCode& code, std::uint64_t level,
              std::size_t top) {
    for (std::size_t l = top + 1; l <= level; ++l) addNode(graph.layers[l], record, code);
    if (level > top) graph.entry_point = record.node;
}

}  // namespace

std::uint64_t drawLevel(RoutingGraph& graph) {
    const double u = uniformDouble(graph.level_rng);
    const double level = std::trunc(-std::log(1.0 - u) * kLevelFactor);
    return level >= double(kTopLevel) ? kTopLevel : static_cast<std::uint64_t>(level);
}

Error insertWithLevel(RoutingGraph& graph, std::uint64_t n, const RoutingCode& code,
                      std::uint64_t level) {
    // More layers, or more nodes, than a graph may have.
    if (level > kTopLevel || n >= kMaxNodes) return Error::OutOfMemory;
    if (!ensureCapacity(graph.scratch, n + 1, constructionBreadth(graph, n))) return Error::OutOfMemory;
    const bool first = graph.node_count == 0 || graph.layers.len == 0;
    const std::size_t top = graph.layers.len - 1;  // meaningful unless `first`
    LayerLinks links[kTopLevel + 1];
    const std::size_t linked = first ? 0 : planLinks(graph, code, level, graph.scratch, links);
    // A first node joins every layer there is; later ones join 0..level.
    std::size_t joined = level + 1;
    if (first && graph.layers.len > joined) joined = graph.layers.len;
    if (!reserveJoinedLayers(graph, joined)) return Error::OutOfMemory;

    Node record{};
    record.node = static_cast<std::uint32_t>(n);
    if (first) {
        insertFirst(graph, record, code);
        return Error::Ok;
    }
    addLinkedNode(graph, n, code, links, linked);
    linkBackPart(graph, n, links, linked, 0, 1);
    raiseTop(graph, record, code, level, top);
    graph.node_count += 1;
    return Error::Ok;
}

std::size_t planLinks(const RoutingGraph& graph, const RoutingCode& code, std::uint64_t level,
                      TraversalScratch& scratch, LayerLinks* links) {
    const std::size_t top = graph.layers.len - 1;
    std::uint64_t ep = graph.entry_point;
    for (std::size_t l = top; l > level; --l) ep = greedyDescend(graph.layers[l], code, ep);
    const std::size_t linked_top = level < top ? level : top;
    const std::size_t breadth = constructionBreadth(graph, graph.node_count);
    for (std::size_t l = linked_top + 1; l-- > 0;) {
        const Layer& layer = graph.layers[l];
        const CandidateList found = searchLayer(layer, code, ep, breadth, scratch);
        links[l].count = static_cast<std::uint32_t>(selectNeighbors(layer, found.items, found.len, links[l].neighbors));
        if (found.len > 0) ep = found.items[0].node;
    }
    return linked_top + 1;
}

void planInsertion(const RoutingGraph& graph, const RoutingCode& code, std::uint64_t level,
                   TraversalScratch& scratch, InsertionPlan& plan) {
    plan.layers = 0;
    if (graph.node_count == 0 || level >= kPlannedLayers || level + 1 > graph.layers.len) return;
    plan.layers = static_cast<std::uint32_t>(planLinks(graph, code, level, scratch, plan.links));
}

void addLinkedNode(RoutingGraph& graph, std::uint64_t n, const RoutingCode& code, const LayerLinks* links,
                   std::size_t layers) {
    Node record{};
    record.node = static_cast<std::uint32_t>(n);
    for (std::size_t l = 0; l < layers; ++l) {
        record.neighbor_count = links[l].count;
        std::memcpy(record.neighbors, links[l].neighbors, links[l].count * sizeof(std::uint32_t));
        std::memset(record.neighbors + links[l].count, 0, (kDegree - links[l].count) * sizeof(std::uint32_t));
        addNode(graph.layers[l], record, code);
    }
}

void linkBackPart(RoutingGraph& graph, std::uint64_t n, const LayerLinks* links, std::size_t layers,
                  std::size_t part, std::size_t parts) {
    for (std::size_t l = 0; l < layers; ++l) {
        Layer& layer = graph.layers[l];
        if (parts == 1) {
            linkBackAll(layer, links[l].neighbors, links[l].count, n);
            continue;
        }
        std::uint32_t owned[kDegree];
        std::size_t count = 0;
        for (std::size_t i = 0; i < links[l].count; ++i)
            if (partOf(links[l].neighbors[i], parts) == part) owned[count++] = links[l].neighbors[i];
        linkBackAll(layer, owned, count, n);
    }
}

std::size_t selectNeighbors(const Layer& layer, const Candidate* candidates, std::size_t count,
                            std::uint32_t* out) {
    std::uint32_t chosen_positions[kDegree];
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (k == kDegree) return k;
        const Candidate& c = candidates[i];
        if (k > 0 && !isDiverse(layer, c, chosen_positions, k)) continue;
        out[k] = static_cast<std::uint32_t>(c.node);
        chosen_positions[k] = positionOf(layer, c.node);
        ++k;
    }
    for (std::size_t i = 0; i < count && k < kDegree; ++i)
        if (!isListed(out, k, candidates[i].node)) out[k++] = static_cast<std::uint32_t>(candidates[i].node);
    return k;
}

void linkBackAll(Layer& layer, const std::uint32_t* neighbors, std::size_t count, std::uint64_t n) {
    // Every link-back touches a record and up to 32 codes at random places;
    // fetching them a step or two ahead hides most of that latency.
    for (std::size_t i = 0; i < count && i < 2; ++i) prefetchRecord(layer, neighbors[i]);
    if (count > 0) prefetchNeighbourCodes(layer, neighbors[0]);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 2 < count) prefetchRecord(layer, neighbors[i + 2]);
        if (i + 1 < count) prefetchNeighbourCodes(layer, neighbors[i + 1]);
        linkBack(layer, neighbors[i], n);
    }
}

std::uint32_t linkBack(Layer& layer, std::uint64_t m, std::uint64_t n) {
    const std::uint32_t owner_position = positionOf(layer, m);
    Node& owner = layer.nodes[owner_position];
    if (owner.neighbor_count < kDegree) {
        owner.neighbors[owner.neighbor_count] = static_cast<std::uint32_t>(n);
        return ++owner.neighbor_count;
    }
    // Full list: the new node competes with the 32 present ones; on equal
    // distance the present ones stay ahead.
    const RoutingCode& owner_code = layer.codes[owner_position];
    std::uint32_t positions[kDegree];
    std::uint32_t distances[kDegree];
    for (std::size_t i = 0; i < kDegree; ++i) positions[i] = positionOf(layer, owner.neighbors[i]);
    hammingDistances(owner_code, layer.codes.data, positions, kDegree, distances);
    Candidate pool[kPrunePool];
    for (std::size_t i = 0; i < kDegree; ++i) pool[i] = {owner.neighbors[i], distances[i]};
    pool[kDegree] = {n, hammingDistance(codeOf(layer, n), owner_code)};
    sortByDistance(pool, kPrunePool, nullptr, 0);

    std::uint32_t kept[kDegree] = {};
    const std::size_t count = selectNeighbors(layer, pool, kPrunePool, kept);
    std::memcpy(owner.neighbors, kept, sizeof kept);
    owner.neighbor_count = static_cast<std::uint32_t>(count);
    return owner.neighbor_count;
}

}  // namespace korvane

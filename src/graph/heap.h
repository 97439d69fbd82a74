// Fixed-capacity binary heap over a borrowed buffer. Sift-up stops at an
// equal parent; sift-down moves a child up only when strictly better and
// prefers the left child on a tie.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/records.h"

namespace korvane {

struct Farther {
    static bool above(const Candidate& a, const Candidate& b) { return a.distance > b.distance; }
};
struct Closer {
    static bool above(const Candidate& a, const Candidate& b) { return a.distance < b.distance; }
};

template <class T, class Cmp>
struct BinaryHeap {
    T* items;
    std::size_t capacity;
    std::size_t len = 0;

    const T& root() const { return items[0]; }

    void push(const T& item) {
        std::size_t i = len++;
        items[i] = item;
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!Cmp::above(items[i], items[parent])) break;
            swapSlots(i, parent);
            i = parent;
        }
    }

    // False when empty.
    bool pop(T* out) {
        if (len == 0) return false;
        *out = items[0];
        --len;
        if (len == 0) return true;
        items[0] = items[len];
        std::size_t i = 0;
        while (true) {
            std::size_t best = i;
            const std::size_t left = 2 * i + 1, right = 2 * i + 2;
            if (left < len && Cmp::above(items[left], items[best])) best = left;
            if (right < len && Cmp::above(items[right], items[best])) best = right;
            if (best == i) break;
            swapSlots(i, best);
            i = best;
        }
        return true;
    }

    // Offer rule of the result heaps: push while there is room, otherwise
    // replace the root only when strictly better.
    void offer(const T& item) {
        if (len < capacity) {
            push(item);
        } else if (capacity > 0 && Cmp::above(items[0], item)) {
            T dropped;
            pop(&dropped);
            push(item);
        }
    }

    // Pops everything; afterwards items[0..n) is ordered from best to worst
    // (each popped root goes to the slot just after the remaining elements).
    std::size_t drainIntoOrder() {
        const std::size_t n = len;
        while (len > 0) {
            T top;
            pop(&top);
            items[len] = top;
        }
        return n;
    }

  private:
    void swapSlots(std::size_t a, std::size_t b) {
        T tmp = items[a];
        items[a] = items[b];
        items[b] = tmp;
    }
};

using FartherHeap = BinaryHeap<Candidate, Farther>;
using CloserHeap = BinaryHeap<Candidate, Closer>;

// Grows the scratch for node numbers below node_capacity and `breadth`
// results. On failure the scratch stays safe to release and to size again.
bool ensureCapacity(TraversalScratch& scratch, std::size_t node_capacity, std::size_t breadth);

}  // namespace korvane

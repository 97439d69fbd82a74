// Growable array of trivially copyable elements over the allocation facade.
// Growth never loses data: a failed grow leaves the array as it was.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "common/memory.h"

namespace korvane {

template <class T>
struct Vec {
    static_assert(std::is_trivially_copyable_v<T>);

    T* data = nullptr;
    std::size_t len = 0;
    std::size_t cap = 0;

    T& operator[](std::size_t i) { return data[i]; }
    const T& operator[](std::size_t i) const { return data[i]; }
    T* begin() { return data; }
    T* end() { return data + len; }
    const T* begin() const { return data; }
    const T* end() const { return data + len; }

    // Exact reservation: afterwards cap >= wanted. False on failure, unchanged.
    bool reserve(std::size_t wanted) {
        if (wanted <= cap) return true;
        T* grown = grownCopy(wanted);
        if (!grown) return false;
        adopt(grown, wanted);
        return true;
    }

    // Growth in two steps, the first of which only reads the array (so it
    // may run beside other readers): a copy of the elements in a block of
    // `wanted` (> cap) slots, nullptr on failure; then its adoption.
    T* grownCopy(std::size_t wanted) const {
        T* grown = allocateArray<T>(wanted);
        if (!grown) return nullptr;
        preferHugePages(grown, wanted * sizeof(T));
        if (len) std::memcpy(static_cast<void*>(grown), data, len * sizeof(T));
        return grown;
    }
    void adopt(T* grown, std::size_t wanted) {
        releaseArray(data);
        data = grown;
        cap = wanted;
    }

    // Amortised reservation for `extra` more elements.
    bool reserveMore(std::size_t extra) {
        if (len + extra <= cap) return true;
        return reserve(grownCapacity(cap, len + extra));
    }

    // The capacity that `appends` appends of `group` elements each, one at
    // a time, would grow the array to.
    std::size_t capacityAfter(std::size_t appends, std::size_t group = 1) const {
        std::size_t grown = cap;
        while (len + appends * group > grown) grown = grownCapacity(grown, len + ((grown - len) / group + 1) * group);
        return grown;
    }

    bool push(const T& value) {
        if (!reserveMore(1)) return false;
        data[len++] = value;
        return true;
    }

    bool append(const T* values, std::size_t count) {
        if (count == 0) return true;
        if (!reserveMore(count)) return false;
        std::memcpy(static_cast<void*>(data + len), values, count * sizeof(T));
        len += count;
        return true;
    }

    // Grows to `count` elements, new ones zeroed; shrinking keeps storage.
    bool resize(std::size_t count) {
        if (count > len) {
            if (!reserve(count > cap ? count : cap)) return false;
            std::memset(static_cast<void*>(data + len), 0, (count - len) * sizeof(T));
        }
        len = count;
        return true;
    }

    void truncate(std::size_t count) {
        if (count < len) len = count;
    }

    // How reserveMore grows a full array that needs `needed` slots.
    static std::size_t grownCapacity(std::size_t cap, std::size_t needed) {
        const std::size_t step = cap < 8 ? 8 : cap + cap / 2;
        return step < needed ? needed : step;
    }

    void deinit() {
        releaseArray(data);
        data = nullptr;
        len = cap = 0;
    }
};

}  // namespace korvane

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
        T* grown = allocateArray<T>(wanted);
        if (!grown) return false;
        if (len) std::memcpy(static_cast<void*>(grown), data, len * sizeof(T));
        releaseArray(data);
        data = grown;
        cap = wanted;
        return true;
    }

    // Amortised reservation for `extra` more elements.
    bool reserveMore(std::size_t extra) {
        if (len + extra <= cap) return true;
        std::size_t wanted = cap < 8 ? 8 : cap + cap / 2;
        if (wanted < len + extra) wanted = len + extra;
        return reserve(wanted);
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

    void deinit() {
        releaseArray(data);
        data = nullptr;
        len = cap = 0;
    }
};

}  // namespace korvane

// Dynamic bit set over the allocation facade. Bits beyond bit_len read as clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/memory.h"

namespace korvane {

struct BitSet {
    std::uint64_t* words = nullptr;
    std::size_t bit_len = 0;

    static constexpr std::size_t wordsFor(std::size_t bits) { return (bits + 63) / 64; }
    std::size_t wordCount() const { return wordsFor(bit_len); }

    bool test(std::size_t bit) const {
        return bit < bit_len && ((words[bit >> 6] >> (bit & 63)) & 1u);
    }
    // Unchecked: callers keep bit < bit_len.
    void set(std::size_t bit) { words[bit >> 6] |= std::uint64_t{1} << (bit & 63); }
    void clearAll() {
        if (words) std::memset(words, 0, wordCount() * sizeof(std::uint64_t));
    }

    // Grows to `bits` bits (new bits clear); never shrinks. False on failure,
    // leaving the set unchanged.
    bool grow(std::size_t bits) {
        if (bits <= bit_len) return true;
        const std::size_t old_words = wordCount();
        const std::size_t new_words = wordsFor(bits);
        if (new_words > old_words) {
            auto* grown = allocateArray<std::uint64_t>(new_words);
            if (!grown) return false;
            if (old_words) std::memcpy(grown, words, old_words * sizeof(std::uint64_t));
            std::memset(grown + old_words, 0, (new_words - old_words) * sizeof(std::uint64_t));
            releaseArray(words);
            words = grown;
        }
        bit_len = bits;
        return true;
    }

    std::size_t countSet() const {
        std::size_t total = 0;
        for (std::size_t w = 0; w < wordCount(); ++w) total += __builtin_popcountll(words[w]);
        return total;
    }

    void deinit() {
        releaseArray(words);
        words = nullptr;
        bit_len = 0;
    }
};

}  // namespace korvane

// Open-addressing hash map from u64 keys to small values, over the
// allocation facade. Linear probing with backward-shift deletion, so there
// are no tombstone slots and lookups stay short after many removals.
//
// Keys come from outside (caller ids, node numbers from files), so a key's
// home slot is a keyed mix under a secret of the process: a fixed mixer can
// be inverted to make every key share one probe run. Nothing observable
// depends on the slot order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/hash_key.h"
#include "common/memory.h"

namespace korvane {

inline std::uint64_t mixKey(std::uint64_t key) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    key *= 0xc4ceb9fe1a85ec53ULL;
    key ^= key >> 33;
    return key;
}

// Two rounds of the mixer around the secret words: without them the slot of
// a key cannot be predicted, and the mixer being a bijection keeps distinct
// keys distinct.
inline std::uint64_t keyedMix(std::uint64_t key, const HashKey& secret) {
    return mixKey(mixKey(key ^ secret.k0) ^ secret.k1);
}

template <class V>
struct U64Map {
    struct Slot {
        std::uint64_t key;
        V value;
        bool used;
    };

    Slot* slots = nullptr;
    std::size_t slot_count = 0;  // a power of two, or 0 without storage
    std::size_t count = 0;
    HashKey secret{};  // taken from the process at the first reservation

    // Load factor stays at or below 3/4.
    static constexpr bool fits(std::size_t entries, std::size_t slot_total) {
        return entries <= slot_total - slot_total / 4;
    }

    // Entries that still fit without growth.
    std::size_t spare() const { return slot_count ? slot_count - slot_count / 4 - count : 0; }

    const V* find(std::uint64_t key) const {
        if (count == 0) return nullptr;
        const std::size_t mask = slot_count - 1;
        for (std::size_t i = home(key);; i = (i + 1) & mask) {
            if (!slots[i].used) return nullptr;
            if (slots[i].key == key) return &slots[i].value;
        }
    }
    V* find(std::uint64_t key) {
        return const_cast<V*>(static_cast<const U64Map*>(this)->find(key));
    }
    bool contains(std::uint64_t key) const { return find(key) != nullptr; }

    // Probes that finding every entry once takes: the entry count when no key
    // is displaced, far more when keys pile up in one run. Test hook.
    std::size_t probesToFindAll() const {
        std::size_t probes = 0;
        for (std::size_t i = 0; i < slot_count; ++i)
            if (slots[i].used) probes += 1 + ((i - home(slots[i].key)) & (slot_count - 1));
        return probes;
    }

    // Ensures room for `entries` entries in total without further allocation.
    // False on failure, map unchanged.
    bool reserve(std::size_t entries) {
        if (slot_count && fits(entries, slot_count)) return true;
        std::size_t wanted = slot_count ? slot_count : 8;
        while (!fits(entries, wanted)) {
            if (wanted > (SIZE_MAX / sizeof(Slot)) / 2) return false;
            wanted *= 2;
        }
        Slot* fresh = allocateArray<Slot>(wanted);
        if (!fresh) return false;
        preferHugePages(fresh, wanted * sizeof(Slot));  // cleared in full below, probed at random
        if (!slots) secret = processHashKey();
        std::memset(static_cast<void*>(fresh), 0, wanted * sizeof(Slot));
        Slot* old = slots;
        const std::size_t old_count = slot_count;
        slots = fresh;
        slot_count = wanted;
        count = 0;
        for (std::size_t i = 0; i < old_count; ++i)
            if (old[i].used) insertUnchecked(old[i].key, old[i].value);
        releaseArray(old);
        return true;
    }

    // Inserts or overwrites. False (map unchanged) only when growth fails.
    bool put(std::uint64_t key, V value) {
        if (V* existing = find(key)) {
            *existing = value;
            return true;
        }
        if (!reserve(count + 1)) return false;
        insertUnchecked(key, value);
        return true;
    }

    // Caller has reserved room and knows the key is absent or wants it overwritten.
    void insertUnchecked(std::uint64_t key, V value) {
        const std::size_t mask = slot_count - 1;
        std::size_t i = home(key);
        while (slots[i].used && slots[i].key != key) i = (i + 1) & mask;
        if (!slots[i].used) ++count;
        slots[i] = Slot{key, value, true};
    }

    bool erase(std::uint64_t key) {
        if (count == 0) return false;
        const std::size_t mask = slot_count - 1;
        std::size_t i = home(key);
        while (true) {
            if (!slots[i].used) return false;
            if (slots[i].key == key) break;
            i = (i + 1) & mask;
        }
        // Backward shift: pull later members of the probe run into the hole.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask; slots[j].used; j = (j + 1) & mask) {
            const std::size_t from = home(slots[j].key);
            const bool movable = hole <= j ? (from <= hole || from > j) : (from <= hole && from > j);
            if (movable) {
                slots[hole] = slots[j];
                hole = j;
            }
        }
        slots[hole].used = false;
        --count;
        return true;
    }

    template <class F>
    void forEach(F&& visit) const {
        for (std::size_t i = 0; i < slot_count; ++i)
            if (slots[i].used) visit(slots[i].key, slots[i].value);
    }

    void clear() {
        if (slots) std::memset(static_cast<void*>(slots), 0, slot_count * sizeof(Slot));
        count = 0;
    }

    std::size_t home(std::uint64_t key) const { return keyedMix(key, secret) & (slot_count - 1); }

    void deinit() {
        releaseArray(slots);
        slots = nullptr;
        slot_count = count = 0;
    }
};

}  // namespace korvane

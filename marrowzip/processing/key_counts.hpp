// Multisets of 32-bit keys (hashes, say) in one table of open addressing: no allocation per
// key, and each operation touches a few neighbouring slots.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace marrowzip {

// How many times each 32-bit key was added and not yet removed, counted apart in two kinds
// (two sorts of item under one key share a slot, so a look at both costs one), with the keys in
// a table of open addressing: a key sits at its home slot or after it, with no free slot
// between.
class KeyCounts {
public:
    static constexpr std::size_t kinds = 2;
    static constexpr std::uint32_t maxCount = 0xffff;  // of a key in one kind

    // Room for `keys` distinct keys at least, with the table at most half full.
    explicit KeyCounts(std::size_t keys)
        : slots_(std::bit_ceil(std::max<std::size_t>(keys, 8) * 2)) {}

    bool empty() const noexcept { return keys_ == 0; }
    std::uint32_t count(std::uint32_t key, std::size_t kind) const {
        return slots_[find(key)].counts[kind];
    }
    // Whether `more` keys not held yet would keep the table at most half full.
    bool roomFor(std::size_t more) const noexcept { return (keys_ + more) * 2 <= slots_.size(); }
    // The count must be below maxCount.
    void add(std::uint32_t key, std::size_t kind) {
        Slot& slot = slots_[find(key)];
        keys_ += slot.free() ? 1 : 0;
        slot.key = key;
        ++slot.counts[kind];
    }
    // `key` must be held in `kind`.
    void remove(std::uint32_t key, std::size_t kind) {
        std::size_t hole = find(key);
        --slots_[hole].counts[kind];
        if (!slots_[hole].free()) return;
        --keys_;
        // The keys after the freed slot move back into it when their home slot does not lie
        // between the two, so that each is still found from its home.
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t next = (hole + 1) & mask; !slots_[next].free(); next = (next + 1) & mask) {
            const std::size_t home = slots_[next].key & mask;
            if (((next - home) & mask) >= ((next - hole) & mask)) {
                slots_[hole] = slots_[next];
                slots_[next].counts = {};
                hole = next;
            }
        }
    }

private:
    struct Slot {
        // Eight bytes: more of the table stays in the cache.
        std::uint32_t key = 0;
        std::array<std::uint16_t, kinds> counts{};

        bool free() const noexcept {
            return std::ranges::all_of(counts, [](std::uint16_t count) { return count == 0; });
        }
    };
    // The key's slot, or the free one where it would go.
    std::size_t find(std::uint32_t key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t index = key & mask;
        while (!slots_[index].free() && slots_[index].key != key)
            index = (index + 1) & mask;
        return index;
    }

    std::vector<Slot> slots_;
    std::size_t keys_ = 0;  // distinct, held
};

}  // namespace marrowzip

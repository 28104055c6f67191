#include "marrowzip/processing/key_counts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace marrowzip {
namespace {

// Keys crowded onto a few home slots, the last ones of the table among them, are added and
// removed at random in both kinds: every count is right after each step, whatever the order in
// which runs of neighbours were broken up, and a key leaves only when neither kind holds it.
TEST(KeyCounts, CountsEveryKeyAfterRemovalsInsideRunsThatWrapAround) {
    KeyCounts counts(32);  // 64 slots
    std::unordered_map<std::uint32_t, std::array<std::uint32_t, KeyCounts::kinds>> expected;
    std::vector<std::uint32_t> keys;
    for (std::uint32_t high = 1; high <= 6; ++high) {
        for (const std::uint32_t home : {0, 1, 62, 63})
            keys.push_back(high << 16 | home);
    }
    const auto held = [&] {
        return std::ranges::count_if(
            keys, [&](std::uint32_t key) { return expected[key][0] + expected[key][1] != 0; });
    };
    std::mt19937 random(7);
    for (int step = 0; step < 20000; ++step) {
        const std::uint32_t key = keys[random() % keys.size()];
        const std::size_t kind = random() % KeyCounts::kinds;
        auto& expectedCounts = expected[key];
        if (random() % 2 == 0 && expectedCounts[kind] > 0) {
            counts.remove(key, kind);
            --expectedCounts[kind];
        } else if (expectedCounts[0] + expectedCounts[1] > 0 || counts.roomFor(1)) {
            counts.add(key, kind);
            ++expectedCounts[kind];
        }
        for (const std::uint32_t each : keys) {
            for (std::size_t k = 0; k < KeyCounts::kinds; ++k)
                ASSERT_EQ(counts.count(each, k), expected[each][k]) << "step " << step;
        }
        EXPECT_EQ(counts.empty(), held() == 0);
        EXPECT_EQ(counts.roomFor(1), held() < 32);
    }
}

}  // namespace
}  // namespace marrowzip

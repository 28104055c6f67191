#include "marrowzip/processing/key_counts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace marrowzip {
namespace {

// Keys crowded onto a few home slots, the last ones of the table among them, are added and
// removed at random: every key counted still is found, every key gone is not, whatever the
// order in which runs of neighbours were broken up.
TEST(KeyCounts, FindsEveryKeyHeldAfterRemovalsInsideRunsThatWrapAround) {
    KeyCounts counts(32);  // 64 slots
    std::unordered_map<std::uint64_t, int> expected;
    std::vector<std::uint64_t> keys;
    for (std::uint64_t high = 1; high <= 6; ++high) {
        for (const std::uint64_t home : {0, 1, 62, 63})
            keys.push_back(high << 32 | home);
    }
    std::mt19937 random(7);
    std::size_t held = 0;
    for (int step = 0; step < 20000; ++step) {
        const std::uint64_t key = keys[random() % keys.size()];
        if (random() % 2 == 0 && expected[key] > 0) {
            counts.remove(key);
            held -= --expected[key] == 0 ? 1 : 0;
        } else if (expected[key] > 0 || counts.roomFor(1)) {
            counts.add(key);
            held += expected[key]++ == 0 ? 1 : 0;
        }
        for (const std::uint64_t each : keys)
            ASSERT_EQ(counts.contains(each), expected[each] > 0) << "step " << step;
        EXPECT_EQ(counts.empty(), held == 0);
        EXPECT_EQ(counts.roomFor(1), held < 32);
    }
}

}  // namespace
}  // namespace marrowzip

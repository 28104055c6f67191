// Sums of offsets, sizes and counts that come from an archive or a file system: they saturate
// rather than wrap, and a saturated position is refused by every later read.
#pragma once

#include <cstdint>
#include <limits>

namespace marrowzip {

constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// Progress counts units in a signed 64-bit count: a size that does not fit it, or a sum that
// would overflow, saturates rather than turning into a negative total.
constexpr std::int64_t largestUnitCount = std::numeric_limits<std::int64_t>::max();

constexpr std::int64_t unitsOfSize(std::uint64_t size) {
    return size > static_cast<std::uint64_t>(largestUnitCount) ? largestUnitCount
                                                               : static_cast<std::int64_t>(size);
}

constexpr std::int64_t addUnits(std::int64_t total, std::int64_t units) {
    if (units > 0 && total > largestUnitCount - units) return largestUnitCount;
    return total + units;
}

}  // namespace marrowzip

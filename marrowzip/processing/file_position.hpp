// The bound on offsets and sizes read from an archive: the platform's signed file position.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <limits>

namespace marrowzip {

// A 64-bit size or offset beyond what off_t can express can never be sought to; the record
// holding it is refused rather than wrapped into a negative position.
inline constexpr std::uint64_t maximumFilePosition =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

inline bool fitsFilePosition(std::uint64_t value) noexcept {
    return value <= maximumFilePosition;
}

}  // namespace marrowzip

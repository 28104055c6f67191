// MS-DOS date and time, as ZIP records keep modification times. Always UTC.
#pragma once

#include <cstdint>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// Whole seconds and microseconds, both with the sign of the point in time.
struct Timeval {
    std::int64_t seconds = 0;
    std::int32_t microseconds = 0;
};

std::uint16_t dosTimeOf(Date date);
// Years before 1980 are written as 1980 and years after 2099 as 2099, month and day kept.
std::uint16_t dosDateOf(Date date);
// Out-of-range fields are normalised as timegm does (date 0, time 0 is 1979-11-30T00:00:00Z).
Date dateFromDOS(std::uint16_t dosDate, std::uint16_t dosTime);
Timeval timevalOf(Date date);

}  // namespace marrowzip

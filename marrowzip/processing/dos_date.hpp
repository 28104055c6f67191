// MS-DOS date and time, as ZIP records keep modification times. Always UTC.
#pragma once

#include <cstdint>
#include <optional>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

std::uint16_t dosTimeOf(Date date);
// Years before 1980 are written as 1980 and years after 2099 as 2099, month and day kept.
std::uint16_t dosDateOf(Date date);
// The two 16-bit fields as a record stores them (there: time first, then date).
struct DOSDateTime {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
};
// Out-of-range fields are normalised as timegm does (date 0, time 0 is 1979-11-30T00:00:00Z).
Date dateFromDOS(DOSDateTime dos);

// The date to the nanosecond that a Date holds; the epoch for a date that is not finite or lies
// beyond the signed 64-bit range of seconds.
Timestamp timestampOf(Date date);

// The times of the extra fields that carry them exactly.
// The 32-bit field of an extended timestamp: seconds since 1970 UTC, rounded down. Dates up to
// 2038-01-19T03:14:07Z are stored signed, later ones up to 2106-02-07T06:28:15Z as unsigned
// values (as writers past 2038 do); absent before 1901-12-13T20:45:52Z and after 2106.
std::optional<std::uint32_t> unixTime32Of(Date date);
// A stored 32-bit time read back: signed, unless it is negative while the entry's DOS date says
// 2038 or later (DOS dates before 1980 are written as 1980): then it was written unsigned.
Timestamp timestampFromUnixTime32(std::uint32_t value, std::uint16_t dosDate);
// A FILETIME (100-nanosecond intervals since 1601-01-01T00:00:00Z); absent for 0 (no time),
// for values beyond the signed 64-bit range, and for dates after 9999-12-31T23:59:59Z.
std::optional<Timestamp> timestampFromFILETIME(std::uint64_t filetime);

}  // namespace marrowzip

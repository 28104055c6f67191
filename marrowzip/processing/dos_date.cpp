#include "marrowzip/processing/dos_date.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <optional>

namespace marrowzip {
namespace {

// Seconds truncated toward zero (0.9 s and -0.5 s both become 0). Absent for a value that is
// not finite or does not fit the platform's time: such a date has no calendar breakdown.
std::optional<std::time_t> wholeSecondsOf(Date date) {
    constexpr double limit = 9.2e18;  // just inside the signed 64-bit range
    if (!std::isfinite(date) || std::fabs(date) >= limit) return std::nullopt;
    return static_cast<std::time_t>(std::trunc(date));
}

// The UTC calendar fields of a point in time; never the local time zone.
std::optional<std::tm> utcFieldsOf(Date date) {
    const auto seconds = wholeSecondsOf(date);
    if (!seconds) return std::nullopt;
    std::tm fields{};
    if (::gmtime_r(&*seconds, &fields) == nullptr) return std::nullopt;
    return fields;
}

}  // namespace

std::uint16_t dosTimeOf(Date date) {
    const auto fields = utcFieldsOf(date);
    if (!fields) return 0;
    // Two-second resolution: odd seconds lose one second.
    return static_cast<std::uint16_t>((fields->tm_hour << 11) + (fields->tm_min << 5) +
                                      fields->tm_sec / 2);
}

std::uint16_t dosDateOf(Date date) {
    const auto fields = utcFieldsOf(date);
    if (!fields) return 0;
    // Seven bits of year from 1980: earlier years become 1980 and later ones 2099, keeping the
    // real month and day.
    const long long year = std::clamp<long long>(fields->tm_year + 1900LL, 1980, 2099);
    return static_cast<std::uint16_t>(((year - 1980) << 9) + ((fields->tm_mon + 1) << 5) +
                                      fields->tm_mday);
}

Date dateFromDOS(std::uint16_t dosDate, std::uint16_t dosTime) {
    // Out-of-range fields (day 0, month 0 or 13-15, hour 24-31, …) are left to timegm, which
    // carries them into the neighbouring fields.
    std::tm fields{};
    fields.tm_sec = (dosTime & 0x1F) * 2;
    fields.tm_min = (dosTime >> 5) & 0x3F;
    fields.tm_hour = dosTime >> 11;
    fields.tm_mday = dosDate & 0x1F;
    fields.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
    fields.tm_year = (dosDate >> 9) + 80;
    return static_cast<Date>(::timegm(&fields));
}

Timeval timevalOf(Date date) {
    const auto seconds = wholeSecondsOf(date);
    if (!seconds) return {};
    // The microseconds keep the sign of the fraction: -1.25 s is -1 s and -250000 µs.
    const double fraction = date - static_cast<double>(*seconds);
    return {static_cast<std::int64_t>(*seconds),
            static_cast<std::int32_t>(std::trunc(fraction * 1'000'000.0))};
}

}  // namespace marrowzip

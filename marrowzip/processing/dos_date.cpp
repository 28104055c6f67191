#include "marrowzip/processing/dos_date.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

Date dateFromDOS(DOSDateTime dos) {
    // Out-of-range fields (day 0, month 0 or 13-15, hour 24-31, …) are left to timegm, which
    // carries them into the neighbouring fields.
    std::tm fields{};
    fields.tm_sec = (dos.time & 0x1F) * 2;
    fields.tm_min = (dos.time >> 5) & 0x3F;
    fields.tm_hour = dos.time >> 11;
    fields.tm_mday = dos.date & 0x1F;
    fields.tm_mon = ((dos.date >> 5) & 0x0F) - 1;
    fields.tm_year = (dos.date >> 9) + 80;
    return static_cast<Date>(::timegm(&fields));
}

Timestamp timestampOf(Date date) {
    if (!wholeSecondsOf(date)) return {};
    const double seconds = std::floor(date);
    // The fraction of a second, rounded to the nanosecond, can round up to a whole second.
    const double nanoseconds = std::min(std::trunc((date - seconds) * 1e9), 999'999'999.0);
    return {static_cast<std::int64_t>(seconds), static_cast<std::int32_t>(nanoseconds)};
}

std::optional<std::uint32_t> unixTime32Of(Date date) {
    if (!std::isfinite(date)) return std::nullopt;
    const double seconds = std::floor(date);
    if (seconds < static_cast<double>(INT32_MIN) || seconds > static_cast<double>(UINT32_MAX)) {
        return std::nullopt;
    }
    // Two's complement: a negative time becomes the unsigned value with the same bits.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(seconds));
}

Timestamp timestampFromUnixTime32(std::uint32_t value, std::uint16_t dosDate) {
    constexpr int firstYearPastSigned = 2038;
    const auto asSigned = static_cast<std::int32_t>(value);
    const int dosYear = (dosDate >> 9) + 1980;
    if (asSigned < 0 && dosYear >= firstYearPastSigned) return {std::int64_t{value}, 0};
    return {std::int64_t{asSigned}, 0};
}

std::optional<Timestamp> timestampFromFILETIME(std::uint64_t filetime) {
    constexpr std::uint64_t ticksPerSecond = 10'000'000;
    constexpr std::int64_t secondsFrom1601To1970 = 11'644'473'600;
    constexpr std::int64_t lastSecondOf9999 = 253'402'300'799;
    if (filetime == 0 || filetime > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    const auto seconds =
        static_cast<std::int64_t>(filetime / ticksPerSecond) - secondsFrom1601To1970;
    if (seconds > lastSecondOf9999) return std::nullopt;
    return Timestamp{seconds, static_cast<std::int32_t>(filetime % ticksPerSecond) * 100};
}

}  // namespace marrowzip

#include "marrowzip/processing/dos_date.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace marrowzip {
namespace {

// Seconds since the epoch of a UTC calendar time, computed without the code under test.
Date utc(int year, unsigned month, unsigned day, int hour, int minute, int second) {
    const std::chrono::sys_days days(std::chrono::year(year) / month / day);
    return static_cast<Date>(days.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 +
                             second);
}

TEST(DosDate, WritesTheUtcFieldsAndClampsTheYear) {
    const std::tuple<Date, int, int> cases[] = {
        {utc(2021, 3, 4, 5, 6, 7) + 0.9, 21092, 10435},  // odd seconds lose one
        {utc(2099, 12, 31, 23, 59, 59), 0xEF9F, 0xBF7D},
        {utc(2100, 1, 1, 0, 0, 0), 0xEE21, 0},  // 2099-01-01
        {-0.5, 33, 0},                          // truncated to 1970, then clamped to 1980-01-01
    };
    for (const auto& [date, dosDate, dosTime] : cases) {
        EXPECT_EQ(dosDateOf(date), dosDate) << date;
        EXPECT_EQ(dosTimeOf(date), dosTime) << date;
    }
    EXPECT_EQ(dateFromDOS({21092, 10435}), utc(2021, 3, 4, 5, 6, 6));
    // Out-of-range fields carry over: day 0 of month 0, and month 13 at hour 24.
    EXPECT_EQ(dateFromDOS({0, 0}), utc(1979, 11, 30, 0, 0, 0));
    EXPECT_EQ(dateFromDOS({(41 << 9) + (13 << 5) + 1, 24 << 11}), utc(2022, 1, 2, 0, 0, 0));
}

// Nanoseconds are never negative: a date before 1970 with a fraction rounds its seconds down.
// The 32-bit time of an extended timestamp covers 1901-12-13T20:45:52Z to 2106-02-07T06:28:15Z.
TEST(ExactTimes, ConvertWithinTheirRangesOnly) {
    for (auto [date, seconds, nanoseconds] :
         {std::tuple{1.5, 1, 500'000'000}, {-1.25, -2, 750'000'000}, {-0.0, 0, 0}}) {
        EXPECT_EQ(timestampOf(date), (Timestamp{seconds, nanoseconds})) << date;
    }
    const std::tuple<Date, std::optional<std::uint32_t>> unixTimes[] = {
        {-2147483648.0, 0x80000000}, {-2147483648.5, std::nullopt}, {-0.5, 0xFFFFFFFF},
        {4294967295.9, 0xFFFFFFFF},  {4294967296.0, std::nullopt},
    };
    for (const auto& [date, value] : unixTimes)
        EXPECT_EQ(unixTime32Of(date), value) << date;
}

TEST(DosDate, IgnoresTheLocalTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "UTC";
    const Date date = utc(2021, 7, 1, 23, 30, 0);
    for (const char* zone : {"XST-14", "PST8PDT,M3.2.0,M11.1.0"}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(dosDateOf(date), (41 << 9) + (7 << 5) + 1) << zone;
        EXPECT_EQ(dosTimeOf(date), (23 << 11) + (30 << 5)) << zone;
        EXPECT_EQ(dateFromDOS({dosDateOf(date), dosTimeOf(date)}), date) << zone;
    }
    ::setenv("TZ", restore.c_str(), 1);
    ::tzset();
}

}  // namespace
}  // namespace marrowzip

// Modification times across time zones. The other tools keep local time in the DOS fields and the
// exact time in an extra field (zip and bsdtar an extended timestamp, 7-Zip an NTFS field);
// marrowzip keeps UTC in the DOS fields and writes an extended timestamp. Whatever the zone of
// the writer and of the reader, a file comes back with its time to the second, and from 7-Zip's
// NTFS field to the 100 nanoseconds.
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

constexpr time_t stamp = 1591012801;  // 2020-06-01T12:00:01Z: an odd second, summer time in NY
constexpr long stampNanoseconds = 123456789;

// A ZIP tool: how it archives f.txt of the current folder into ../a.zip, and how it extracts
// ../a.zip into the current folder.
struct Program {
    std::string name;
    std::string archive;
    std::string extract;
};

class TimeZoneInterop : public ToolTest {
protected:
    void SetUp() override {
        for (const char* program : {"zip", "unzip", "bsdtar"}) {
            if (!haveProgram(program))
                GTEST_SKIP() << program << " is missing (scripts/install-deps)";
        }
        seven_ = sevenZip();
        if (seven_.empty()) GTEST_SKIP() << "7-Zip is missing (scripts/install-deps)";
    }

    std::string seven_;
};

TEST_F(TimeZoneInterop, EveryWriterAndReaderKeepTheExactTimeInEveryZone) {
    const std::string tool = shellQuote(MARROWZIP_TOOL_PATH);
    const Program ours{"marrowzip", tool + " create ../a.zip f.txt", tool + " extract ../a.zip ."};
    const Program infoZIP{"Info-ZIP", "zip -q ../a.zip f.txt", "unzip -q ../a.zip"};
    const Program sevenZip{"7-Zip", seven_ + " a -tzip ../a.zip f.txt >/dev/null",
                           seven_ + " x ../a.zip >/dev/null"};
    const Program bsdtar{"bsdtar", "bsdtar --format zip -cf ../a.zip f.txt", "bsdtar -xf ../a.zip"};
    // {writer, reader, nanoseconds the trip keeps (-1: not checked)}
    const std::tuple<const Program&, const Program&, long> trips[] = {
        {infoZIP, ours, 0},   {sevenZip, ours, stampNanoseconds / 100 * 100},
        {bsdtar, ours, 0},    {ours, infoZIP, -1},
        {ours, sevenZip, -1}, {ours, bsdtar, -1},
        {ours, ours, 0},
    };
    int row = 0;
    for (const char* zone : {"UTC", "America/New_York", "Asia/Kolkata"}) {
        for (const auto& [writer, reader, nanoseconds] : trips) {
            SCOPED_TRACE(writer.name + " to " + reader.name + " in " + zone);
            const std::string dir = "trip" + std::to_string(++row);
            const std::string inZone = std::string("TZ=") + zone + " ";
            writeFileText(at(dir + "/src/f.txt"), "time\n");
            const struct timespec times[2] = {{stamp, stampNanoseconds}, {stamp, stampNanoseconds}};
            ASSERT_EQ(::utimensat(AT_FDCWD, at(dir + "/src/f.txt").c_str(), times, 0), 0);
            shell("cd " + dir + "/src && " + inZone + writer.archive);
            shell("mkdir " + dir + "/out && cd " + dir + "/out && " + inZone + reader.extract);

            struct stat restored {};
            ASSERT_EQ(::stat(at(dir + "/out/f.txt").c_str(), &restored), 0);
            EXPECT_EQ(restored.st_mtim.tv_sec - stamp, 0) << "seconds off";
            if (nanoseconds >= 0) {
                EXPECT_EQ(restored.st_mtim.tv_nsec, nanoseconds);
            }
            if (&reader == &ours) {
                const CommandResult listing =
                    runCommand("cd " + shellQuote(at(dir).string()) + " && " + inZone + tool +
                               " list --json a.zip");
                ASSERT_EQ(listing.exitCode, 0) << listing.output;
                EXPECT_EQ(nlohmann::json::parse(listing.output).at(0).at("modified"),
                          "2020-06-01T12:00:01Z");
            }
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

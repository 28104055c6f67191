// Starts the real app under a virtual X server and keeps a picture of its window, then drives
// the window's states through its panels and keeps a picture of each.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using marrowzip::testing::haveProgram;
using marrowzip::testing::runCommand;
using marrowzip::testing::shellQuote;

fs::path screenshotFolder() {
    const char* buildDir = std::getenv("MARROWZIP_BUILD_DIR");
    const auto folder = fs::path(buildDir ? buildDir : MARROWZIP_BUILD_DIR) / "screenshots";
    fs::create_directories(folder);
    return folder;
}

const char* const xvfbRun = "xvfb-run -a -s '-screen 0 1024x768x24' ";

// The real app's window is drawn; then each state a person meets is drawn (more than a few
// colours: text, frames, buttons) and has a picture.
TEST(DunmarrowWindow, ScreenshotsOfTheWindowAndOfEachStateAPersonMeets) {
    if (!haveProgram("xvfb-run") || !haveProgram("import") || !haveProgram("identify")) {
        GTEST_SKIP() << "Xvfb or ImageMagick is missing: scripts/install-deps installs them";
    }
    const fs::path folder = screenshotFolder();
    const char* const names[] = {"idle.png",
                                 "progress.png",
                                 "archive-summary.png",
                                 "existing-archive-alert.png",
                                 "restore-alert.png",
                                 "restore-summary.png",
                                 "failure-list.png",
                                 "dunmarrow.png"};
    for (const char* name : names)
        fs::remove(folder / name);

    // The script succeeds once the picture, trimmed to the window, holds more than two colours.
    const auto shot = runCommand(std::string(xvfbRun) + shellQuote(DUNMARROW_SCREENSHOT_SCRIPT) +
                                 " " + shellQuote(DUNMARROW_BINARY) + " " +
                                 shellQuote((folder / "dunmarrow.png").string()));
    EXPECT_EQ(shot.exitCode, 0) << shot.output;
    // Under the sanitizers, the D-Bus library's own allocations are not ours to report.
    const auto run =
        runCommand(std::string(xvfbRun) + "env QT_QPA_PLATFORM=xcb LSAN_OPTIONS=" +
                   shellQuote("suppressions=" DUNMARROW_LSAN_SUPPRESSIONS) + " " +
                   shellQuote(DUNMARROW_SCREENSHOTS) + " " + shellQuote(folder.string()));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    for (const char* name : names) {
        const auto colours =
            runCommand("identify -format %k " + shellQuote((folder / name).string()));
        EXPECT_EQ(colours.exitCode, 0) << name << ": " << colours.output;
        EXPECT_GT(std::atoi(colours.output.c_str()), name == std::string("dunmarrow.png") ? 2 : 4)
            << name;
    }
}

}  // namespace

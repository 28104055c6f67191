// Starts the real app under a virtual X server and keeps a picture of its window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.hpp"

namespace {

using marrowzip::testing::haveProgram;
using marrowzip::testing::shellQuote;

TEST(DunmarrowWindow, ScreenshotUnderXvfbShowsTheWindow) {
    if (!haveProgram("xvfb-run") || !haveProgram("import") || !haveProgram("identify")) {
        GTEST_SKIP() << "Xvfb or ImageMagick is missing: scripts/install-deps installs them";
    }
    const char* buildDir = std::getenv("MARROWZIP_BUILD_DIR");
    const auto png = std::filesystem::path(buildDir ? buildDir : MARROWZIP_BUILD_DIR) /
                     "screenshots/dunmarrow.png";
    std::filesystem::create_directories(png.parent_path());
    std::filesystem::remove(png);

    // The script succeeds once the picture, trimmed to the window, holds more than two colours.
    const auto shot = marrowzip::testing::runCommand(
        "xvfb-run -a -s '-screen 0 800x600x24' " + shellQuote(DUNMARROW_SCREENSHOT_SCRIPT) + " " +
        shellQuote(DUNMARROW_BINARY) + " " + shellQuote(png.string()));
    EXPECT_EQ(shot.exitCode, 0) << shot.output;
    EXPECT_TRUE(std::filesystem::exists(png));
}

}  // namespace

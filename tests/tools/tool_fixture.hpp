// The fixture of the end-to-end tests: the real marrowzip binary run in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "filesystem/tree_comparison.hpp"

namespace marrowzip::testing {

struct ToolRun {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

class ToolTest : public ::testing::Test {
protected:
    // Runs `marrowzip arguments…` in the folder with standard input from /dev/null. With
    // `meanwhile`, the tool runs in the background while that shell text runs (its pid is $!).
    ToolRun run(const std::vector<std::string>& arguments, const std::string& meanwhile = "") const;
    std::filesystem::path at(const std::string& relative) const { return folder / relative; }

    // Runs a shell command in the folder; fails the test when it fails.
    void shell(const std::string& command) const;

    TemporaryDirectory folder;
};

}  // namespace marrowzip::testing

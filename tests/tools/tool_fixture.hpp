// The fixture of the end-to-end tests: a temporary folder to run the tool in, a small source
// tree, and a comparison of trees.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "tool_runner.hpp"

namespace marrowzip::testing {

class ToolTest : public ::testing::Test {
protected:
    ToolRun run(const std::vector<std::string>& arguments) const {
        return runTool(arguments, folder.path());
    }
    std::filesystem::path at(const std::string& relative) const { return folder / relative; }

    // tree/: a text file, an empty file, an executable script, a name with a space and a
    // non-ASCII letter, a nested binary file, an empty folder and a relative link.
    void makeTree(const std::string& name = "tree") const;

    // Runs a shell command in the folder; fails the test when it fails.
    void shell(const std::string& command) const;

    TemporaryDirectory folder;
};

// Paths, types, file contents, link targets and file permissions of two trees, one line each,
// so that a difference shows as a line in the failure message.
std::vector<std::string> describeTree(const std::filesystem::path& root);

}  // namespace marrowzip::testing

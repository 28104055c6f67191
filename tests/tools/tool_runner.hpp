// Runs the real marrowzip binary, with standard output and standard error kept apart.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace marrowzip::testing {

struct ToolRun {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// A started tool: its standard input is /dev/null, its output goes to files in `folder`.
class RunningTool {
public:
    RunningTool(const std::vector<std::string>& arguments, const std::filesystem::path& folder);
    ~RunningTool();
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;

    void sendSignal(int signal) const;
    ToolRun wait();

private:
    pid_t pid_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

// Runs `marrowzip arguments…` in `folder` and waits for it.
ToolRun runTool(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

// The 7-Zip program ("7z" or "7zz"), or empty when neither is installed.
std::string sevenZipProgram();

}  // namespace marrowzip::testing

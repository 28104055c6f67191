#include "tool_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "support/test_support.hpp"

extern char** environ;

namespace marrowzip::testing {
namespace {

std::string readText(const std::filesystem::path& path) {
    const Bytes bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A new empty file in the system's temporary folder, for one output stream.
std::filesystem::path makeOutputFile() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "marrowzip-tool-XXXXXX").string();
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) throw std::runtime_error("mkstemp failed");
    ::close(descriptor);
    return pattern;
}

}  // namespace

RunningTool::RunningTool(const std::vector<std::string>& arguments,
                         const std::filesystem::path& folder)
    : outPath_(makeOutputFile()), errPath_(makeOutputFile()) {
    std::vector<std::string> argv{MARROWZIP_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // The tool must see Ctrl-C even when the test runner was started with SIGINT ignored.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int failure =
        posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) throw std::runtime_error("cannot start " + argv[0]);
}

RunningTool::~RunningTool() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove(outPath_, ignored);
    std::filesystem::remove(errPath_, ignored);
}

void RunningTool::sendSignal(int signal) const {
    ::kill(pid_, signal);
}

ToolRun RunningTool::wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readText(outPath_);
    run.err = readText(errPath_);
    return run;
}

ToolRun runTool(const std::vector<std::string>& arguments, const std::filesystem::path& folder) {
    return RunningTool(arguments, folder).wait();
}

std::string sevenZipProgram() {
    for (const char* name : {"7z", "7zz"}) {
        if (haveProgram(name)) return name;
    }
    return {};
}

}  // namespace marrowzip::testing

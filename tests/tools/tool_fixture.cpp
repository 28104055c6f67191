#include "tool_fixture.hpp"

namespace marrowzip::testing {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
    const Bytes bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

ToolRun ToolTest::run(const std::vector<std::string>& arguments,
                      const std::string& meanwhile) const {
    const TemporaryDirectory streams;
    // A background job starts with SIGINT ignored, which the tool would keep: env restores it.
    std::string command = "cd " + shellQuote(folder.path().string()) +
                          " && { env --default-signal=INT " + shellQuote(MARROWZIP_TOOL_PATH);
    for (const std::string& argument : arguments)
        command += " " + shellQuote(argument);
    command += " </dev/null >" + shellQuote((streams / "out").string()) + " 2>" +
               shellQuote((streams / "err").string());
    command += meanwhile.empty() ? "; }" : " & " + meanwhile + "; wait $!; }";
    const int status = runCommand(command).exitCode;
    return {status, readText(streams / "out"), readText(streams / "err")};
}

void ToolTest::shell(const std::string& command) const {
    const CommandResult result =
        runCommand("cd " + shellQuote(folder.path().string()) + " && " + command);
    ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.output;
}

}  // namespace marrowzip::testing

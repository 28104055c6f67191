// Usage errors, help, version, and the one line that each failure prints.
#include "support/raw_archive.hpp"
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolCommandLine : public ToolTest {};

// The whole of standard error for a usage error; `help` is the subcommand, with a space.
std::string usage(const std::string& problem, const std::string& help = "") {
    return "marrowzip: usage: " + problem + " (see 'marrowzip " + help + "--help')\n";
}

TEST_F(ToolCommandLine, AnswersHelpVersionAndUsageErrorsWithTheirStatus) {
    // Each with a text that standard output contains.
    const std::pair<std::vector<std::string>, std::string> answers[] = {
        {{"--version"}, "marrowzip 0.1.0\n"},
        {{"--help"}, "extract"},
        {{"extract", "--help"}, "--allow-links-outside"},
    };
    for (const auto& [arguments, out] : answers) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 0) << arguments.front();
        EXPECT_NE(result.out.find(out), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "");
    }
    // Each with the whole of standard error.
    const std::pair<std::vector<std::string>, std::string> usageErrors[] = {
        {{}, usage("A subcommand is required")},
        {{"-q", "bogus", "a.zip"}, "marrowzip: unknown command 'bogus' (see marrowzip --help)\n"},
        {{"list"}, usage("ARCHIVE is required", "list ")},
        {{"add", "--as", "x", "a.zip", "f", "g"},
         usage("--as names the entry path of a single ITEM", "add ")},
        {{"add", "--as", "../x", "a.zip", "f"},
         usage("--as: the entry path must be relative and stay below the archive's root", "add ")},
        {{"create", "--comment", std::string(65536, 'x'), "a.zip", "f"},
         usage("--comment: the comment is longer than 65535 bytes", "create ")},
        {{"extract", "--encoding", "no-such-charset", "a.zip", "d"},
         usage("--encoding: unknown character set no-such-charset", "extract ")},
    };
    for (const auto& [arguments, err] : usageErrors) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, err);
    }
    EXPECT_TRUE(listTree(folder.path()).empty()) << "a usage error must touch nothing";
}

TEST_F(ToolCommandLine, FailuresPrintOneLineNamingTheFileOrEntryAndNothingElse) {
    makeSampleTree(at("tree"));
    shell("zip -qr -y a.zip tree && echo text > notzip.txt");
    writeFileBytes(at("hostile.zip"),
                   buildRawArchive({rawFile("good.txt", "ok"), rawFile("../evil.txt", "bad")}));
    const Bytes archiveBefore = readFileBytes(at("a.zip"));

    // Each with the line it prints after "marrowzip: ".
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"list", "missing.zip"}, "missing.zip: no such file or folder"},
        {{"list", "notzip.txt"},
         "notzip.txt: no end of central directory record was found: this is not a ZIP file"},
        {{"extract", "missing.zip", "out"}, "missing.zip: no such file or folder"},
        // The engine's refusals have their own tests: one shows how the tool reports them.
        {{"extract", "hostile.zip", "h"},
         "h/../evil.txt: ../evil.txt: the file name is not valid or lies outside the destination "
         "folder; the path leads out of the folder"},
        {{"create", "a.zip", "tree"}, "a.zip: the file already exists"},
        {{"create", "new.zip", "missing"}, "missing: no such file or folder"},
        {{"add", "a.zip", "missing"}, "missing: no such file or folder"},
        {{"add", "a.zip", "a.zip"}, "a.zip: an archive cannot be added to itself"},
        {{"add", "a.zip", "tree"},
         "a.zip: tree/a.txt: the archive already holds an entry with this path"},
        {{"remove", "a.zip", "tree/a.txt", "nope"}, "a.zip: no entry matches 'nope'"},
    };
    for (const auto& [arguments, line] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "marrowzip: " + line + "\n");
    }
    EXPECT_EQ(readFileBytes(at("a.zip")), archiveBefore);
    for (const char* absent : {"evil.txt", "new.zip"})
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(at(absent))))
            << absent;
    EXPECT_TRUE(std::filesystem::exists(at("h/good.txt"))) << "entries before the refused one stay";
}

}  // namespace
}  // namespace marrowzip::testing

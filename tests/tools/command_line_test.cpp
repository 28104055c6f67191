// Usage errors, help, version, and the one line that each failure prints.
#include "support/test_support.hpp"
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

struct UsageCase {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // a text that standard output contains
    std::string err;  // the whole of standard error
};

TEST(ToolCommandLine, AnswersHelpVersionAndUsageErrorsWithTheirStatus) {
    const std::vector<UsageCase> cases = {
        {{"--version"}, 0, "marrowzip 0.1.0\n", ""},
        {{"--help"}, 0, "extract", ""},
        {{"extract", "--help"}, 0, "--allow-links-outside", ""},
        {{}, 2, "", "marrowzip: usage: A subcommand is required (see 'marrowzip --help')\n"},
        {{"list"}, 2, "", "marrowzip: usage: ARCHIVE is required (see 'marrowzip list --help')\n"},
        {{"add", "--as", "x", "a.zip", "f", "g"},
         2,
         "",
         "marrowzip: usage: --as names the entry path of a single ITEM (see 'marrowzip add "
         "--help')\n"},
        {{"add", "--as", "../x", "a.zip", "f"},
         2,
         "",
         "marrowzip: usage: --as: the entry path must be relative and stay below the archive's "
         "root "
         "(see 'marrowzip add --help')\n"},
        {{"extract", "--encoding", "no-such-charset", "a.zip", "d"},
         2,
         "",
         "marrowzip: usage: --encoding: unknown character set no-such-charset (see 'marrowzip "
         "extract --help')\n"},
        {{"add", "--as", "/etc/x", "a.zip", "f"},
         2,
         "",
         "marrowzip: usage: --as: the entry path must be relative and stay below the archive's "
         "root "
         "(see 'marrowzip add --help')\n"},
    };
    TemporaryDirectory folder;
    for (const UsageCase& usage : cases) {
        const ToolRun result = runTool(usage.arguments, folder.path());
        const std::string arguments = ::testing::PrintToString(usage.arguments);
        EXPECT_EQ(result.status, usage.status) << arguments;
        EXPECT_NE(result.out.find(usage.out), std::string::npos) << arguments << "\n" << result.out;
        EXPECT_EQ(result.err, usage.err) << arguments;
    }
    EXPECT_TRUE(listTree(folder.path()).empty()) << "a usage error must touch nothing";
}

class ToolFailures : public ToolTest {};

struct FailureCase {
    std::vector<std::string> arguments;
    std::string err;
};

TEST_F(ToolFailures, PrintOneLineNamingTheFileOrEntryAndNothingElse) {
    makeTree();
    shell(
        "zip -qr -y a.zip tree && echo text > notzip.txt && mkdir -p occupied/tree && "
        "echo mine > occupied/tree/a.txt");
    shell(
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('hostile.zip', 'w')\n"
        "z.writestr('good.txt', 'ok'); z.writestr('../evil.txt', 'bad')\n"
        "z = zipfile.ZipFile('absolute.zip', 'w'); z.writestr('/etc/evil.txt', 'bad')\n"
        "z = zipfile.ZipFile('outlink.zip', 'w')\n"
        "i = zipfile.ZipInfo('ln'); i.create_system = 3; i.external_attr = 0o120777 << 16\n"
        "z.writestr(i, '../../outside')\"");
    const Bytes archiveBefore = readFileBytes(at("a.zip"));

    const std::vector<FailureCase> cases = {
        {{"list", "missing.zip"}, "marrowzip: missing.zip: No such file or directory\n"},
        {{"list", "notzip.txt"},
         "marrowzip: notzip.txt: no end of central directory record was found: this is not a ZIP "
         "file\n"},
        {{"extract", "missing.zip", "out"}, "marrowzip: missing.zip: no such file or folder\n"},
        {{"extract", "a.zip", "occupied"},
         "marrowzip: occupied/tree/a.txt: tree/a.txt: the file already exists\n"},
        {{"extract", "hostile.zip", "h"},
         "marrowzip: h/../evil.txt: ../evil.txt: the file name is not valid or lies outside the "
         "destination folder; the path leads out of the folder\n"},
        {{"extract", "absolute.zip", "abs"},
         "marrowzip: abs/etc/evil.txt: /etc/evil.txt: the file name is not valid or lies outside "
         "the destination folder; the path is absolute\n"},
        {{"extract", "outlink.zip", "l"},
         "marrowzip: l/ln: ln: the symbolic link points outside the extraction folder\n"},
        {{"create", "a.zip", "tree"}, "marrowzip: a.zip: the file already exists\n"},
        {{"create", "new.zip", "missing"}, "marrowzip: missing: no such file or folder\n"},
        {{"create", "tree/inside.zip", "tree"},
         "marrowzip: tree/inside.zip: the archive would lie inside the folder tree that it "
         "archives\n"},
        {{"add", "a.zip", "missing"}, "marrowzip: missing: no such file or folder\n"},
        {{"add", "a.zip", "a.zip"}, "marrowzip: a.zip: an archive cannot be added to itself\n"},
        {{"add", "a.zip", "tree"},
         "marrowzip: a.zip: tree/a.txt: the archive already holds an entry with this path\n"},
        {{"remove", "a.zip", "tree/a.txt", "nope"},
         "marrowzip: a.zip: nope: no such entry in the archive\n"},
    };
    for (const FailureCase& failure : cases) {
        const ToolRun result = run(failure.arguments);
        const std::string arguments = ::testing::PrintToString(failure.arguments);
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_EQ(result.out, "") << arguments;
        EXPECT_EQ(result.err, failure.err) << arguments;
    }
    EXPECT_EQ(readFileBytes(at("a.zip")), archiveBefore);
    EXPECT_EQ(readFileBytes(at("occupied/tree/a.txt")), bytesOf("mine\n"));
    EXPECT_FALSE(std::filesystem::exists(at("evil.txt")));
    EXPECT_FALSE(std::filesystem::exists(at("new.zip")));
    EXPECT_FALSE(std::filesystem::exists(at("tree/inside.zip")));
    EXPECT_TRUE(std::filesystem::exists(at("h/good.txt"))) << "entries before the refused one stay";
    EXPECT_FALSE(std::filesystem::exists(at("l/ln")));
}

}  // namespace
}  // namespace marrowzip::testing

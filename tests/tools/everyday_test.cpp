// Compression levels, entry selection with patterns, naming and exclusion when archiving, and
// add --update, end to end and checked by the other ZIP tools.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolEveryday : public ToolTest {
protected:
    std::string textAt(const std::string& relative) const {
        const Bytes bytes = readFileBytes(at(relative));
        return std::string(bytes.begin(), bytes.end());
    }

    // What `list --json` says of each entry: its path and method.
    std::vector<std::pair<std::string, int>> methods(const std::string& archive) const {
        std::vector<std::pair<std::string, int>> result;
        for (const auto& entry : nlohmann::json::parse(run({"list", "--json", archive}).out))
            result.emplace_back(entry["path"], entry["method"]);
        return result;
    }
};

// The levels reach the library, whose tests hold each level's archives to the other clients.
TEST_F(ToolEveryday, LevelsRoundTripStoreAtZeroAndShrinkAsTheyRise) {
    writeFileBytes(at("tree/log.txt"), textBytes(400000));
    writeFileBytes(at("tree/prose.txt"), textBytes(100000, 2));
    struct Row {
        std::vector<std::string> flags;
        const char* archive;
        int method;
    };
    const Row rows[] = {
        {{"-0"}, "l0.zip", 0},  {{"--store"}, "store.zip", 0},   {{"-1"}, "l1.zip", 8},
        {{}, "default.zip", 8}, {{"--level", "6"}, "l6.zip", 8}, {{"-9"}, "l9.zip", 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.archive);
        std::vector<std::string> arguments{"create"};
        arguments.insert(arguments.end(), row.flags.begin(), row.flags.end());
        arguments.insert(arguments.end(), {row.archive, "tree"});
        const ToolRun created = run(arguments);
        ASSERT_EQ(created.status, 0) << created.err;
        for (const auto& [path, method] : methods(row.archive))
            EXPECT_EQ(method, row.method) << path;
        EXPECT_EQ(run({"test", row.archive}).status, 0);  // the clients judge each level's bytes
    }
    EXPECT_EQ(readFileBytes(at("default.zip")), readFileBytes(at("l6.zip")));
    EXPECT_GT(std::filesystem::file_size(at("l1.zip")), std::filesystem::file_size(at("l9.zip")));

    const ToolRun refused = run({"add", "--level", "10", "l9.zip", "tree"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--level"), std::string::npos) << refused.err;
}

TEST_F(ToolEveryday, PatternsSelectWholePathsAndFoldersWithTheirContents) {
    makeSampleTree(at("tree"));
    ASSERT_EQ(run({"create", "a.zip", "tree"}).status, 0);
    struct Row {
        std::vector<std::string> arguments;
        std::vector<std::string> listed;
    };
    const Row rows[] = {
        // The patterns' own rules are the engine's (see the container suite).
        {{"*.txt"}, {"a.txt", "with space café.txt"}},
        {{"sub/deeper"}, {"sub/deeper/", "sub/deeper/text.txt"}},  // a folder with its contents
        {{"sub", "-x", "sub/deeper", "--exclude", "*/*.bin"}, {"sub/", "sub/link", "sub/run.sh"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        std::vector<std::string> arguments{"list", "--json", "a.zip"};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        const ToolRun listed = run(arguments);
        ASSERT_EQ(listed.status, 0) << listed.err;
        std::vector<std::string> paths;
        for (const auto& entry : nlohmann::json::parse(listed.out))
            paths.push_back(entry["path"]);
        EXPECT_EQ(paths, row.listed);
    }

    // A pattern that selects nothing is an error naming it, in every command that takes them
    // ("out" is extract's destination, a pattern elsewhere); remove then changes nothing.
    const Bytes before = readFileBytes(at("a.zip"));
    for (const std::string command : {"list", "remove", "extract", "test"}) {
        const ToolRun missing = run({command, "a.zip", "out", "sub", "nope*", "Sub"});
        EXPECT_EQ(missing.status, 1);
        EXPECT_EQ(missing.err, "marrowzip: a.zip: no entry matches " +
                                   std::string(command == "extract" ? "" : "'out', ") +
                                   "'nope*', 'Sub'\n");
    }
    EXPECT_EQ(readFileBytes(at("a.zip")), before);

    // A folder goes with everything below it, in one rewrite that the other tools accept.
    const ToolRun removed = run({"remove", "a.zip", "sub", "*.txt", "-x", "a.txt"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(entryPaths(at("a.zip")),
              (std::vector<std::string>{"a.txt", "empty", "emptydir/", "folder-link"}));
    shell("unzip -tq a.zip && python3 -m zipfile -t a.zip >/dev/null");
}

TEST_F(ToolEveryday, ExtractAndTestTakeTheSameSelectionAndStdoutGetsOnlyTheData) {
    makeSampleTree(at("tree"));
    ASSERT_EQ(run({"create", "a.zip", "tree"}).status, 0);
    struct Row {
        std::vector<std::string> arguments;
        std::vector<std::string> extracted;  // with the folders made on the way
        const char* tested;
    };
    const Row rows[] = {
        {{"sub/deeper"}, {"sub", "sub/deeper", "sub/deeper/text.txt"}, "2 entries"},
        {{"*.txt", "-x", "a*"}, {"with space café.txt"}, "1 entry"},
        {{"sub/*", "-x", "**/*.bin", "-x", "sub/deeper"},
         {"sub", "sub/link", "sub/run.sh"},
         "2 entries"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        const std::string out = "out" + std::to_string(i);
        std::vector<std::string> arguments{"extract", "a.zip", out};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        const ToolRun extracted = run(arguments);
        ASSERT_EQ(extracted.status, 0) << extracted.err;
        EXPECT_EQ(listTree(at(out)), row.extracted);
        arguments = {"test", "a.zip"};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        const ToolRun tested = run(arguments);
        EXPECT_EQ(tested.status, 0) << tested.err;
        EXPECT_EQ(tested.out, std::string("a.zip: ") + row.tested + " tested, no errors\n");
    }

    // The files' bytes in archive order, as unzip -p gives them; folders and links give none.
    const ToolRun piped = run({"extract", "-p", "a.zip", "sub", "a.txt", "-x", "**/*.bin"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    shell("unzip -p a.zip a.txt sub/deeper/text.txt sub/run.sh > expected.out");
    EXPECT_EQ(piped.out, textAt("expected.out"));
    EXPECT_EQ(run({"extract", "--stdout", "a.zip"}).out.size(), 6 + 70000 + 50000 + 10 + 3000);
}

// An item already at an entry's path: by default a line each and status 1, the rest extracted;
// --skip-existing passes over it quietly; --overwrite replaces files and links in one rename,
// never through a link, never a folder.
TEST_F(ToolEveryday, ExistingItemsAreRefusedSkippedOrReplacedAsAsked) {
    makeSampleTree(at("tree"));
    ASSERT_EQ(run({"create", "a.zip", "tree"}).status, 0);
    struct Row {
        const char* flag;
        int status;
        std::string err;
        std::string aText;  // what x/a.txt reads afterwards
    };
    const std::string folderLine =
        "marrowzip: x/empty: empty: the file already exists; a folder stands there, and a "
        "folder is never replaced\n";
    const Row rows[] = {
        {nullptr, 1,
         "marrowzip: x/a.txt: a.txt: the file already exists\n"
         "marrowzip: x/empty: empty: the file already exists\n"
         "marrowzip: x: 2 items already there left untouched (--overwrite replaces, "
         "--skip-existing passes over)\n",
         "victim\n"},
        {"--skip-existing", 0, "", "victim\n"},
        {"--overwrite", 1,
         folderLine + "marrowzip: x: 1 item already there left untouched (--overwrite replaces, "
                      "--skip-existing passes over)\n",
         "alpha\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flag == nullptr ? "refuse" : row.flag);
        std::filesystem::remove_all(at("x"));
        writeFileText(at("x/victim"), "victim\n");
        shell("mkdir -p x/empty && ln -s victim x/a.txt");
        std::vector<std::string> arguments{"extract", "a.zip", "x"};
        if (row.flag != nullptr) arguments.insert(arguments.begin() + 1, row.flag);
        const ToolRun extracted = run(arguments);
        EXPECT_EQ(extracted.status, row.status);
        EXPECT_EQ(extracted.err, row.err);
        EXPECT_EQ(textAt("x/a.txt"), row.aText);
        EXPECT_EQ(textAt("x/victim"), "victim\n");
        EXPECT_TRUE(std::filesystem::is_directory(at("x/empty")));
        EXPECT_EQ(readFileBytes(at("x/sub/deeper/text.txt")), textBytes(50000));
        EXPECT_EQ(std::filesystem::is_symlink(std::filesystem::symlink_status(at("x/a.txt"))),
                  row.flag == nullptr || row.flag == std::string("--skip-existing"));
    }
    EXPECT_EQ(run({"extract", "-p", "--overwrite", "a.zip"}).status, 2);
    // No temporary file stays beside a replaced one.
    std::filesystem::remove(at("x/victim"));
    EXPECT_EQ(listTree(at("x")), listTree(at("tree")));
}

TEST_F(ToolEveryday, CreateAndAddNameExcludeAndSkipTheArchiveAlike) {
    makeSampleTree(at("tree"));
    std::filesystem::create_symlink("tree", at("tree-link"));
    struct Row {
        std::vector<std::string> arguments;
        std::vector<std::string> entries;
        bool warned;  // the archive lay in a folder being stored
    };
    const Row rows[] = {
        // A single folder: relative to it for create, with its name for add (as before); both
        // switch with --prefix / --no-prefix.
        {{"create", "-x", "sub", "-x", "**/*.txt", "c.zip", "tree"},
         {"empty", "emptydir/", "folder-link"},
         false},
        {{"add", "--no-prefix", "-x", "sub", "-x", "**/*.txt", "a.zip", "tree"},
         {"empty", "emptydir/", "folder-link"},
         false},
        {{"create", "--prefix", "--exclude", "sub/*", "p.zip", "tree/sub"},
         {"sub/"},  // the pattern is matched against the entry path written
         false},
        // Several items: each under its own name.
        {{"create", "s.zip", "tree/sub/deeper", "tree/a.txt"},
         {"deeper/", "deeper/text.txt", "a.txt"},
         false},
        // The archive inside the folder it stores: left out with one warning, in both, also
        // deeper down and when the folder is named through a link.
        {{"create", "tree/emptydir/in.zip", "tree/emptydir"}, {}, true},
        {{"add", "tree/sub/deeper/in2.zip", "tree/sub/deeper"},
         {"deeper/", "deeper/text.txt"},
         true},
        {{"add", "-x", "*/in*.zip", "tree/emptydir/in3.zip", "tree/emptydir"},
         {"emptydir/"},
         false},
        {{"create", "tree/sub/deeper/self.zip", "tree-link/sub"},
         {"b.bin", "deeper/", "deeper/in2.zip", "deeper/text.txt", "link", "run.sh"},
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        const ToolRun archived = run(row.arguments);
        ASSERT_EQ(archived.status, 0) << archived.err;
        const std::string archive = *std::find_if(
            row.arguments.begin(), row.arguments.end(), [](const std::string& argument) {
                return argument.ends_with(".zip") && !argument.starts_with("*");
            });
        EXPECT_EQ(archived.err,
                  row.warned ? "marrowzip: warning: " + archive + ": not stored in itself\n" : "");
        EXPECT_EQ(entryPaths(at(archive)), row.entries);
        shell("python3 -m zipfile -t " + archive + " >/dev/null");
    }
}

// Only what is newer replaces its entry, in one run. A file changed within the second its entry
// records is not newer, however close to the next second its time lies (a fractional date could
// round up to that second).
TEST_F(ToolEveryday, AddUpdateReplacesOnlyWhatIsNewerInOneRun) {
    writeFileText(at("tree/old.txt"), "old\n");
    writeFileText(at("tree/new.txt"), "first\n");
    writeFileText(at("tree/same.txt"), "same\n");
    shell("touch -d @1700000000 tree/same.txt");
    ASSERT_EQ(run({"add", "a.zip", "tree"}).status, 0);
    const ToolRun refused = run({"add", "a.zip", "tree"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(
        refused.err,
        "marrowzip: a.zip: tree/new.txt: the archive already holds an entry with this path\n");

    writeFileText(at("tree/new.txt"), "second\n");
    shell(
        "touch -d '+1 hour' tree/new.txt && touch -d '-1 hour' tree/old.txt && "
        "touch -d @1700000000.999999999 tree/same.txt");
    writeFileText(at("tree/added.txt"), "added\n");
    const ToolRun updated = run({"add", "--update", "a.zip", "tree"});
    ASSERT_EQ(updated.status, 0) << updated.err;
    EXPECT_EQ(entryPaths(at("a.zip")),
              (std::vector<std::string>{"tree/", "tree/old.txt", "tree/same.txt", "tree/added.txt",
                                        "tree/new.txt"}));
    shell("unzip -tq a.zip && test \"$(unzip -p a.zip tree/new.txt)\" = second");
}

TEST_F(ToolEveryday, WorkersChangeTheThreadsAndNothingOfTheResult) {
    // Enough files that several are in flight at once; one that deflate cannot shrink.
    for (int i = 0; i < 40; ++i) {
        writeFileBytes(at("tree/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt"),
                       textBytes(3000 + 997 * static_cast<std::size_t>(i), i + 1));
    }
    writeFileBytes(at("tree/noise.bin"), randomBytes(70000));
    // Before and after the command: --workers is global, as --quiet is. Entries are laid out
    // in append order whatever the threads: stored, the archives are the same bytes.
    ASSERT_EQ(run({"--workers", "1", "create", "-0", "one.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"create", "-0", "--workers", "3", "three.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"create", "-0", "--workers=0", "cores.zip", "tree"}).status, 0);
    EXPECT_EQ(readFileBytes(at("one.zip")), readFileBytes(at("three.zip")));
    EXPECT_EQ(readFileBytes(at("one.zip")), readFileBytes(at("cores.zip")));
    // Compressed, the workers' coders may choose other bytes: what comes out is the same (the
    // engine holds parallel runs to serial ones; here the option reaches every command).
    ASSERT_EQ(run({"create", "--workers", "3", "three6.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"extract", "--workers", "1", "three6.zip", "out"}).status, 0);
    expectSameTree(at("tree"), at("out"));
    const ToolRun tested = run({"--workers", "3", "test", "three6.zip"});
    EXPECT_EQ(tested.status, 0);
    EXPECT_EQ(tested.out, "three6.zip: 45 entries tested, no errors\n");
    for (const char* bad : {"-1", "two", "1025"}) {
        const ToolRun refused = run({"--workers", bad, "test", "one.zip"});
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.err.find("--workers"), std::string::npos) << refused.err;
    }
}

}  // namespace
}  // namespace marrowzip::testing

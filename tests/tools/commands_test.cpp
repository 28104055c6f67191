// What each subcommand does to archives and trees, end to end.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "support/raw_archive.hpp"
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolCommands : public ToolTest {};

TEST_F(ToolCommands, AddAppendsParentsFirstAndRemoveTakesSeveralPathsAtOnce) {
    makeSampleTree(at("tree"));
    ASSERT_EQ(run({"add", "new.zip", "tree/sub", "tree/a.txt"}).status, 0);
    ASSERT_EQ(run({"add", "--as", "docs/readme.txt", "new.zip", "tree/sub/run.sh"}).status, 0);
    EXPECT_EQ(entryPaths(at("new.zip")),
              (std::vector<std::string>{"sub/", "sub/b.bin", "sub/deeper/", "sub/deeper/text.txt",
                                        "sub/link", "sub/run.sh", "a.txt", "docs/readme.txt"}));

    // Through a link: the archive it leads to changes, and the link stays a link.
    std::filesystem::create_symlink("new.zip", at("linked.zip"));
    const ToolRun removal =
        run({"remove", "linked.zip", "sub/b.bin", "sub/deeper", "docs/readme.txt", "sub/link"});
    EXPECT_EQ(removal.status, 0) << removal.err;
    // "sub/deeper" went with its contents.
    EXPECT_EQ(entryPaths(at("new.zip")), (std::vector<std::string>{"sub/", "sub/run.sh", "a.txt"}));
    ASSERT_EQ(run({"remove", "linked.zip", "a.txt"}).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(at("linked.zip")));
    EXPECT_EQ(clientComplaints(at("new.zip")), "");
}

TEST_F(ToolCommands, ListShowsOneLinePerEntryWithControlCharactersEscaped) {
    writeFileText(at("tree/empty.txt"), "");
    writeFileBytes(at("tree/text.txt"), textBytes(50000));
    shell("chmod 644 tree/empty.txt && touch -d @1614834368 tree/empty.txt && zip -qr a.zip tree");
    shell(
        "python3 -c \"import zipfile; zipfile.ZipFile('a.zip', 'a').writestr('bad\\nname\\x1b[2J', "
        "'x')\"");
    const ToolRun listing = run({"list", "a.zip"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    const std::string empty =
        "-rw-r--r--          0          0 stored  00000000 2021-03-04 05:06:08 tree/empty.txt\n";
    EXPECT_NE(listing.out.find(empty), std::string::npos) << listing.out;
    EXPECT_TRUE(listing.out.ends_with(" bad\\nname\\x1b[2J\n")) << listing.out;

    nlohmann::json entries = nlohmann::json::parse(run({"list", "--json", "a.zip"}).out);
    EXPECT_NE(std::find(entries.begin(), entries.end(), nlohmann::json::parse(R"({
        "path": "tree/empty.txt", "type": "file", "mode": 420, "uncompressedSize": 0,
        "compressedSize": 0, "method": 0, "crc32": 0, "modified": "2021-03-04T05:06:08Z",
        "zip64": false})")),
              entries.end())
        << entries;
    // Sizes, CRC-32 and method of every entry (a deflated one among them) as Python reads them.
    for (auto& entry : entries) {
        for (const char* key : {"type", "mode", "modified", "zip64"})
            entry.erase(key);
    }
    const CommandResult python = runCommand(
        "cd " + shellQuote(folder.path().string()) +
        " && python3 -c \"import json, zipfile; print(json.dumps([{'path': i.filename, "
        "'uncompressedSize': i.file_size, 'compressedSize': i.compress_size, 'crc32': i.CRC, "
        "'method': i.compress_type} for i in zipfile.ZipFile('a.zip').infolist()]))\"");
    EXPECT_EQ(entries, nlohmann::json::parse(python.output));
}

// create --comment reaches the archive (the clients accept comments in the operations suite);
// list prints one (from any writer) after the entries, escaped, and leaves it out of the JSON.
TEST_F(ToolCommands, CreateWritesTheCommentAndListShowsIt) {
    writeFileText(at("tree/a.txt"), "a");
    const ToolRun created = run({"create", "--comment", "two words\tand a tab", "c.zip", "tree"});
    ASSERT_EQ(created.status, 0) << created.err;
    shell(
        "zip -q z.zip tree/a.txt && python3 -c \"import zipfile; "
        "zipfile.ZipFile('z.zip', 'a').comment = b'from zip'\"");
    const std::pair<std::string, std::string> cases[] = {
        {"c.zip", "comment: two words\\tand a tab\n"},
        {"z.zip", "comment: from zip\n"},
    };
    for (const auto& [archive, last] : cases) {
        const ToolRun listing = run({"list", archive});
        EXPECT_EQ(listing.status, 0) << listing.err;
        EXPECT_TRUE(listing.out.ends_with("a.txt\n" + last)) << listing.out;
        EXPECT_TRUE(nlohmann::json::parse(run({"list", "--json", archive}).out).is_array());
    }
}

TEST_F(ToolCommands, DamagedArchivesFailAfterHandlingTheEntriesBeforeTheDamage) {
    // One entry where the end record declares three; three entries, the third's data damaged.
    const RawEntry one = rawFile("one.txt", "oneoneone");
    writeFileBytes(at("early.zip"), buildRawArchive({one}, 3));
    RawEntry three = rawFile("three.txt", "uhreethreethreethreethreethreethreethreethreethree");
    three.crc = 0xe00f9b2e;  // that of "three" ten times
    writeFileBytes(at("badcrc.zip"),
                   buildRawArchive({one, rawFile("two.txt", "twotwotwo"), three}));
    const std::string early =
        "marrowzip: early.zip: the central directory does not hold the number of entries its "
        "end record declares; the central directory ends ";
    for (const std::string command : {"list", "test", "extract"}) {
        const ToolRun result =
            command == "extract" ? run({command, "early.zip", "out"}) : run({command, "early.zip"});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_EQ(result.err, early + "at a damaged record after 1 of 3 entries\n") << command;
    }
    EXPECT_TRUE(run({"list", "early.zip"}).out.ends_with(" one.txt\n"));
    EXPECT_EQ(listTree(at("out")), std::vector<std::string>{"one.txt"});

    const ToolRun damaged = run({"test", "badcrc.zip"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out, "");
    EXPECT_EQ(damaged.err,
              "marrowzip: badcrc.zip: three.txt: the CRC-32 of the data does not match the entry; "
              "recorded e00f9b2e, computed 643e82df\n"
              "marrowzip: badcrc.zip: 1 of 3 entries failed the test\n");
}

// Archives from the other tools with an encrypted entry: each command names the entry, says
// why it stops there and how many entries before it are readable, after handling those.
TEST_F(ToolCommands, AnEncryptedEntryIsNamedAsSuchWhereverTheArchiveComesFrom) {
    writeFileText(at("plain.txt"), "plain");
    writeFileText(at("secret.txt"), "secret");
    shell("zip -q mixed.zip plain.txt && zip -q -e -P secret mixed.zip secret.txt");
    const std::string encrypted =
        ": secret.txt: the entry is encrypted, and encryption is not supported; it is entry ";
    const std::string secondOfTwo = encrypted + "2 of 2, and the entry before it is readable";
    struct Row {
        std::vector<std::string> arguments;
        std::string input;  // piped to standard input, or empty
        std::string err;
    };
    std::vector<Row> rows = {
        {{"list", "mixed.zip"}, "", "mixed.zip" + secondOfTwo},
        {{"test", "mixed.zip"}, "", "mixed.zip" + secondOfTwo},
        {{"extract", "-", "out"}, "mixed.zip", "standard input" + secondOfTwo},
        {{"list", "-"}, "", "standard input: the input is empty; a ZIP archive was expected"},
        {{"test", "-"},
         "plain.txt",
         "standard input: no end of central directory record was found: this is not a ZIP file"},
    };
    if (const std::string seven = sevenZip(); !seven.empty()) {
        shell(seven + " a -psecret seven.zip secret.txt >/dev/null");
        rows.push_back({{"list", "seven.zip"}, "", "seven.zip" + encrypted + "1 of 1"});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.front() + " " + row.arguments[1]);
        // Standard error alone is captured.
        std::string command =
            "cd " + shellQuote(folder.path().string()) + " && { " + shellQuote(MARROWZIP_TOOL_PATH);
        for (const std::string& argument : row.arguments)
            command += " " + argument;
        command += " <" + (row.input.empty() ? "/dev/null" : row.input) + " >/dev/null; }";
        const CommandResult result = runCommand(command);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "marrowzip: " + row.err + "\n");
    }
    EXPECT_EQ(listTree(at("out")), std::vector<std::string>{"plain.txt"});
}

// "./" entries (bsdtar starts an archive of "." with one) extract into the destination; our
// own create names "." by its folder. Sockets and pipes are not archived: one warning each. The
// data of a folder entry is ignored with a warning, and does not fail the test either.
TEST_F(ToolCommands, ArchivesOfDotExtractAndSpecialFilesAreSkippedWithAWarning) {
    writeFileText(at("tree/a.txt"), "a");
    writeFileText(at("tree/sub/b.txt"), "b");
    shell("cd tree && bsdtar --format zip -cf ../dot.zip .");
    const ToolRun fromBsdtar = run({"extract", "dot.zip", "out1"});
    EXPECT_EQ(fromBsdtar.status, 0) << fromBsdtar.err;
    EXPECT_EQ(listTree(at("out1")), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));

    shell(
        "mkfifo tree/pipe && python3 -c \"import socket; "
        "socket.socket(socket.AF_UNIX).bind('tree/sock')\"");
    const ToolRun creation = run({"create", "--prefix", "own.zip", "tree/."});
    EXPECT_EQ(creation.status, 0) << creation.err;
    EXPECT_EQ(creation.err,
              "marrowzip: warning: tree/pipe: not archived: a named pipe\n"
              "marrowzip: warning: tree/sock: not archived: a socket\n");
    EXPECT_EQ(entryPaths(at("own.zip")),
              (std::vector<std::string>{"tree/", "tree/a.txt", "tree/sub/", "tree/sub/b.txt"}));
    const ToolRun own = run({"extract", "own.zip", "out2"});
    EXPECT_EQ(own.status, 0) << own.err;

    RawEntry folderWithData = rawFolder("dir/");
    folderWithData.content = bytesOf("data");
    writeFileBytes(at("data.zip"), buildRawArchive({folderWithData}));
    EXPECT_EQ(run({"test", "data.zip"}).status, 0);
    const ToolRun withData = run({"extract", "data.zip", "out3"});
    EXPECT_EQ(withData.status, 0) << withData.err;
    EXPECT_EQ(withData.err,
              "marrowzip: warning: data.zip: dir/: the folder entry carries 4 bytes of data, "
              "which were ignored\n");
    EXPECT_EQ(listTree(at("out3")), std::vector<std::string>{"dir"});

    const ToolRun addition = run({"add", "added.zip", "tree"});
    EXPECT_EQ(addition.status, 0) << addition.err;
    EXPECT_EQ(addition.err, creation.err);
    EXPECT_EQ(entryPaths(at("added.zip")),
              (std::vector<std::string>{"tree/", "tree/a.txt", "tree/sub/", "tree/sub/b.txt"}));
}

}  // namespace
}  // namespace marrowzip::testing

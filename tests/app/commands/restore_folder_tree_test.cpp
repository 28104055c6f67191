#include "app/commands/restore_folder_tree.hpp"

#include <gtest/gtest.h>

#include "app/commands/archive_folder_tree.hpp"
#include "commands/scripted_user_interface.hpp"
#include "support/raw_archive.hpp"

namespace dunmarrow::testing {
namespace {

std::string restore(ScriptedUserInterface& ui, const fs::path& zip, const fs::path& destination) {
    ui.file = fileURL(zip);
    ui.folder = fileURL(destination, true);
    fs::create_directories(destination);
    restoreFolderTree(ui, ui.out);
    return ui.out.str();
}

namespace raw = marrowzip::testing;

// An archive written byte by byte, with the end record claiming `count` entries when given.
fs::path rawZip(const fs::path& zip, const std::vector<raw::RawEntry>& entries,
                std::optional<std::uint16_t> count = std::nullopt) {
    writeFileBytes(zip, raw::buildRawArchive(entries, count));
    return zip;
}

TEST(RestoreFolderTree, WritesTheTreeBelowTheParentOfAFolderNamedLikeTheRoot) {
    TemporaryDirectory tmp;
    const Bytes a = randomBytes(40000);
    writeFileBytes(tmp / "data/run1/a.qorvels", a);
    writeFileText(tmp / "data/run1/sub/b.qorvels", "b");
    fs::create_directories(tmp / "data/run1/empty");
    fs::permissions(tmp / "data/run1/a.qorvels", fs::perms(0600));
    setTime(tmp / "data/run1/a.qorvels", fileTime);
    ScriptedUserInterface archiving;
    archiving.newZipFile = fileURL(tmp / "run1.zip");
    archiving.folders = {fileURL(tmp / "data/run1", true)};
    archiveFolderTree(archiving, archiving.out);

    const struct {
        const char* name;
        const char* urlName;  // empty when the folder is accepted
    } cases[] = {{"run1", ""}, {"run", ""}, {"run2", "run2"}, {"run 2", "run%202"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const fs::path backup = tmp / ("backup" + std::to_string(i));
        ScriptedUserInterface ui;
        EXPECT_EQ(restore(ui, tmp / "run1.zip", backup / cases[i].name), "");
        if (*cases[i].urlName != '\0') {
            EXPECT_EQ(ui.alerts,
                      (std::vector<std::string>{
                          "Non compatible paths",
                          "The selected extraction destination starts at run1/ and the selected "
                          "destination must end exactly there, but is file://" +
                              backup.string() + "/" + cases[i].urlName + "/"}));
            EXPECT_EQ(listTree(backup), std::vector<std::string>{cases[i].name});
            continue;
        }
        EXPECT_TRUE(ui.alerts.empty());
        EXPECT_EQ(readFileBytes(backup / "run1/a.qorvels"), a);
        EXPECT_EQ(fs::status(backup / "run1/a.qorvels").permissions(), fs::perms(0600));
        EXPECT_EQ(fs::last_write_time(backup / "run1/a.qorvels"),
                  fs::last_write_time(tmp / "data/run1/a.qorvels"));
        EXPECT_EQ(readFileBytes(backup / "run1/sub/b.qorvels"), bytesOf("b"));
        EXPECT_FALSE(fs::exists(backup / "run1/empty"));  // folders come only as parents of files
    }
}

TEST(RestoreFolderTree, EachEntryThatCannotBeRestoredGetsOneLineAndTheRestAreWritten) {
    TemporaryDirectory tmp;
    raw::RawEntry bad = raw::rawFile("run1/bad.qorvels", "ORIGINAL");
    bad.crc = 1;
    rawZip(tmp / "in.zip", {raw::rawFolder("run1/"), raw::rawFile("run1/old.qorvels", "new"),
                            raw::rawFile("run1/../../escape.qorvels", "x"),
                            raw::rawFile("run1/sub/linked.qorvels", "x"), bad,
                            raw::rawFile("run1/ok.qorvels", "ok")});
    writeFileText(tmp / "backup/run1/old.qorvels", "old");
    fs::create_directories(tmp / "outside");
    // A link already in the destination: writing through it would leave the base.
    fs::create_symlink(tmp / "outside", tmp / "backup/run1/sub");

    ScriptedUserInterface ui;
    std::istringstream lines(restore(ui, tmp / "in.zip", tmp / "backup/run1"));
    using marrowzip::ArchiveError;
    using marrowzip::FileError;
    const std::pair<std::string, Error> expected[] = {
        {"run1/old.qorvels", Error(FileError::fileWriteFileExists)},
        {"run1/../../escape.qorvels", Error(FileError::fileReadInvalidFileName)},
        {"run1/sub/linked.qorvels", Error(FileError::fileReadInvalidFileName)},
        {"run1/bad.qorvels", Error(ArchiveError::invalidCRC32)}};
    for (const auto& [path, error] : expected) {
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line.rfind("File " + path + " with ", 0), 0u) << line;
        EXPECT_NE(line.find(error.what()), std::string::npos) << line;
    }
    EXPECT_TRUE(lines.peek() == EOF);
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/old.qorvels"), bytesOf("old"));
    EXPECT_FALSE(fs::exists(tmp / "escape.qorvels"));
    EXPECT_TRUE(fs::is_empty(tmp / "outside"));
    // The file whose checksum does not match stays, as the whole-archive unzip leaves it.
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/bad.qorvels"), bytesOf("ORIGINAL"));
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/ok.qorvels"), bytesOf("ok"));
}

// Two central records for one local record: the second entry would be written from the bytes
// that the first one already used. An encrypted entry, or fewer records than the end record
// declares, ends the pass early.
TEST(RestoreFolderTree, ReportsWhatAPassCannotHandleAndKeepsTheEntriesBeforeIt) {
    const std::vector<raw::RawEntry> start = {raw::rawFolder("run1/"),
                                              raw::rawFile("run1/a.qorvels", "a")};
    raw::RawEntry shared = raw::rawFile("run1/b.qorvels", "a");
    shared.localHeaderOffset = 30 + 5;  // the record behind the folder's "run1/"
    raw::RawEntry encrypted = raw::rawFile("run1/b.qorvels", "b");
    encrypted.flags |= 1;
    using marrowzip::ArchiveError;
    const std::string failed = "Extraction of ZIP archive failed with error:";
    const std::string early = Error(ArchiveError::invalidCentralDirectoryEntryCount, "IN").what();
    const struct {
        std::vector<raw::RawEntry> more;
        std::optional<std::uint16_t> count;
        std::string out;  // with IN for the archive's path
    } cases[] = {
        {{shared},
         {},
         std::string("File run1/b.qorvels with ") +
             Error(ArchiveError::invalidLocalHeaderDataOffset, "IN", "run1/b.qorvels",
                   "the entry's local record overlaps another entry or the central directory")
                 .what() +
             "\n"},
        {{encrypted, raw::rawFile("run1/c.qorvels", "c")},
         {},
         failed + early + "; encrypted entries are not supported\n"},
        {{}, 4, failed + early + "\n"},
    };
    for (const auto& [more, count, out] : cases) {
        SCOPED_TRACE(out);
        TemporaryDirectory tmp;
        std::vector<raw::RawEntry> entries = start;
        entries.insert(entries.end(), more.begin(), more.end());
        const fs::path zip = rawZip(tmp / "in.zip", entries, count);
        ScriptedUserInterface ui;
        std::string expected = out;
        expected.replace(expected.find("IN"), 2, zip.string());
        EXPECT_EQ(restore(ui, zip, tmp / "backup/run1"), expected);
        EXPECT_EQ(listTree(tmp / "backup"), (std::vector<std::string>{"run1", "run1/a.qorvels"}));
    }
}

}  // namespace
}  // namespace dunmarrow::testing

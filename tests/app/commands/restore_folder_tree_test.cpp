#include "app/commands/restore_folder_tree.hpp"

#include <gtest/gtest.h>

#include "commands/scripted_user_interface.hpp"
#include "support/raw_archive.hpp"

namespace dunmarrow::testing {
namespace {

using marrowzip::ArchiveError;
using marrowzip::FileError;
namespace raw = marrowzip::testing;

std::string restore(ScriptedUserInterface& ui, const fs::path& zip, const fs::path& destination) {
    ui.file = fileURL(zip);
    ui.folder = fileURL(destination, true);
    fs::create_directories(destination);
    restoreFolderTree(ui, ui.out);
    return ui.out.str();
}

// An archive written byte by byte, with the end record claiming `count` entries when given.
fs::path rawZip(const fs::path& zip, const std::vector<raw::RawEntry>& entries,
                std::optional<std::uint16_t> count = std::nullopt) {
    writeFileBytes(zip, raw::buildRawArchive(entries, count));
    return zip;
}

// The line that ends a pass stopped by `error`.
std::string failedLine(const Error& error) {
    return "Extraction of ZIP archive failed with error:" + std::string(error.what()) + "\n";
}

// The files' bytes, modes and times are the engine's to restore; here, where they go.
TEST(RestoreFolderTree, WritesTheTreeBelowTheParentOfAFolderNamedLikeTheRoot) {
    TemporaryDirectory tmp;
    writeFileText(tmp / "data/run1/a.qorvels", "a");
    writeFileText(tmp / "data/run1/sub/b.qorvels", "b");
    fs::create_directories(tmp / "data/run1/empty");
    ScriptedUserInterface archiving;
    archiveInto(archiving, tmp / "run1.zip", {tmp / "data/run1"});

    // A plain text prefix of the root's name is enough: "run" takes "run1/".
    ScriptedUserInterface ui;
    EXPECT_EQ(restore(ui, tmp / "run1.zip", tmp / "backup/run"), "");
    EXPECT_TRUE(ui.alerts.empty());
    ASSERT_TRUE(ui.summary);
    EXPECT_EQ(ui.summary->text(), "Restored 2 files into " + (tmp / "backup/run1").string());
    // Folders come only as parents of files.
    EXPECT_EQ(listTree(tmp / "backup/run1"),
              (std::vector<std::string>{"a.qorvels", "sub", "sub/b.qorvels"}));
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/sub/b.qorvels"), bytesOf("b"));

    // The alert names the chosen folder as a plain path, and offers the root's folder in it.
    ScriptedUserInterface refused;
    EXPECT_EQ(restore(refused, tmp / "run1.zip", tmp / "other/Mes données"), "");
    EXPECT_EQ(refused.alerts,
              (std::vector<std::string>{
                  "Non compatible paths",
                  "The selected extraction destination starts at run1/ and the selected "
                  "destination must end exactly there, but is " +
                      (tmp / "other/Mes données").string(),
                  "Restore into " + (tmp / "other/Mes données/run1").string()}));
    EXPECT_EQ(listTree(tmp / "other"), std::vector<std::string>{"Mes données"});
    EXPECT_FALSE(refused.summary);

    // Taking the offer is choosing that folder: it is created and the tree lands in it.
    ScriptedUserInterface inside;
    inside.chooseAlternative = true;
    EXPECT_EQ(restore(inside, tmp / "run1.zip", tmp / "other/Mes données"), "");
    EXPECT_EQ(
        listTree(tmp / "other/Mes données"),
        (std::vector<std::string>{"run1", "run1/a.qorvels", "run1/sub", "run1/sub/b.qorvels"}));
    ASSERT_TRUE(inside.summary);
    EXPECT_EQ(inside.summary->text(),
              "Restored 2 files into " + (tmp / "other/Mes données/run1").string());
}

// The engine's own refusals (paths through links, among them) have their tests; the app checks
// where a path leads, whether the entry's bytes are its own, and the CRC-32.
TEST(RestoreFolderTree, EachEntryThatCannotBeRestoredGetsOneLineAndTheRestAreWritten) {
    TemporaryDirectory tmp;
    raw::RawEntry shared = raw::rawFile("run1/shared.qorvels", "new");
    shared.localHeaderOffset = 30 + 5;  // the record behind the folder's "run1/"
    raw::RawEntry bad = raw::rawFile("run1/bad.qorvels", "ORIGINAL");
    bad.crc = 1;
    raw::RawEntry encrypted = raw::rawFile("run1/secret.qorvels", "x");
    encrypted.flags |= 1;
    const fs::path zip =
        rawZip(tmp / "in.zip", {raw::rawFolder("run1/"), raw::rawFile("run1/old.qorvels", "new"),
                                raw::rawFile("run1/../../escape.qorvels", "x"), shared, bad,
                                raw::rawFile("run1/ok.qorvels", "ok"), encrypted,
                                raw::rawFile("run1/after.qorvels", "")});
    writeFileText(tmp / "backup/run1/old.qorvels", "old");

    ScriptedUserInterface ui;
    const std::string printed = restore(ui, zip, tmp / "backup/run1");
    std::istringstream lines(printed);
    const std::pair<std::string, Error> expected[] = {
        {"run1/old.qorvels", Error(FileError::fileWriteFileExists)},
        {"run1/../../escape.qorvels", Error(FileError::fileReadInvalidFileName)},
        {"run1/shared.qorvels",
         Error(ArchiveError::invalidLocalHeaderDataOffset, {}, {},
               "the entry's local record overlaps another entry or the central directory")},
        {"run1/bad.qorvels", Error(ArchiveError::invalidCRC32)}};
    for (const auto& [path, error] : expected) {
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line.rfind("File " + path + " with ", 0), 0u) << line;
        EXPECT_NE(line.find(error.what()), std::string::npos) << line;
        // The entry's path once; neither the archive's nor the written file's path again.
        EXPECT_EQ(line.find(path, 5 + path.size()), std::string::npos) << line;
        EXPECT_EQ(line.find(tmp.path().string()), std::string::npos) << line;
    }
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(lines), {}),
              failedLine(Error(ArchiveError::encryptedEntry, zip.string(), "run1/secret.qorvels",
                               "it is entry 7 of 8, and the 6 entries before it are readable")));
    // The window lists exactly what standard output got.
    ASSERT_TRUE(ui.summary);
    std::string listed;
    for (const auto& failure : ui.summary->failures)
        listed += failure + "\n";
    EXPECT_EQ(listed, printed);
    EXPECT_EQ(ui.summary->filesFailed, 4);
    EXPECT_EQ(ui.summary->files, 1);
    // The file whose checksum does not match stays, as the whole-archive unzip leaves it.
    EXPECT_EQ(
        listTree(tmp.path()),
        (std::vector<std::string>{"backup", "backup/run1", "backup/run1/bad.qorvels",
                                  "backup/run1/ok.qorvels", "backup/run1/old.qorvels", "in.zip"}));
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/old.qorvels"), bytesOf("old"));
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/bad.qorvels"), bytesOf("ORIGINAL"));
}

// A folder named like a `qorvels` file (a folder by its attributes, no trailing "/") gets its
// mode and time as the whole-archive extraction gives them; no set-user-ID bit is restored.
TEST(RestoreFolderTree, GivesFoldersTheirAttributesAndDropsSpecialBits) {
    TemporaryDirectory tmp;
    raw::RawEntry folder = raw::rawFolder("run1/dir.qorvels");
    folder.mode = 040700;
    raw::RawEntry tool = raw::rawFile("run1/tool.qorvels", "t");
    tool.mode = 0104755;
    const fs::path zip = rawZip(tmp / "in.zip", {raw::rawFolder("run1/"), folder, tool});
    ScriptedUserInterface ui;
    EXPECT_EQ(restore(ui, zip, tmp / "backup/run1"), "");
    EXPECT_EQ(fs::status(tmp / "backup/run1/dir.qorvels").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(tmp / "backup/run1/tool.qorvels").permissions(),
              static_cast<fs::perms>(0755));
    const auto time = fs::last_write_time(tmp / "backup/run1/dir.qorvels");
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::file_clock::to_sys(time).time_since_epoch())
                  .count(),
              1704110400);  // 2024-01-01 12:00:00 UTC
}

// The end record declares an entry that the central directory does not hold.
TEST(RestoreFolderTree, ReportsAnArchiveThatEndsBeforeItsRoot) {
    TemporaryDirectory tmp;
    const fs::path zip = rawZip(tmp / "in.zip", {}, 1);
    ScriptedUserInterface ui;
    EXPECT_EQ(
        restore(ui, zip, tmp / "backup/run1"),
        failedLine(Error(ArchiveError::invalidCentralDirectoryEntryCount, zip.string(), {},
                         "the central directory ends at a damaged record after 0 of 1 entry")));
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_EQ(listTree(tmp / "backup"), std::vector<std::string>{"run1"});
}

}  // namespace
}  // namespace dunmarrow::testing

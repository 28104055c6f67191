#include "app/commands/restore_folder_tree.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// A stored archive written by Python's zipfile from "name=content" pairs ("run1/" is a folder).
Bytes pythonZip(const fs::path& zip, const std::vector<std::string>& entries) {
    std::string command =
        "python3 -c 'import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
        "    [z.writestr(*a.split(\"=\")) for a in sys.argv[2:]]' " +
        shellQuote(zip.string());
    for (const auto& entry : entries) {
        command += " " + shellQuote(entry + (entry.ends_with('/') ? "=" : ""));
    }
    EXPECT_EQ(runCommand(command).exitCode, 0);
    return readFileBytes(zip);
}

// Where the third record whose signature is "PK" followed by `kind` starts.
std::size_t thirdRecord(const Bytes& zip, std::string_view kind) {
    const std::string text(zip.begin(), zip.end()), signature = "PK" + std::string(kind);
    std::size_t at = text.find(signature);
    for (int i = 0; i < 2; ++i)
        at = text.find(signature, at + 1);
    return at;
}

TEST(RestoreFolderTree, WritesTheTreeBelowTheParentOfAFolderNamedLikeTheRoot) {
    TemporaryDirectory tmp;
    const Bytes a = randomBytes(40000);
    writeFileBytes(tmp / "data/run1/a.qorvels", a);
    writeFileText(tmp / "data/run1/sub/b.qorvels", "b");
    fs::create_directories(tmp / "data/run1/empty");
    ::chmod((tmp / "data/run1/a.qorvels").c_str(), 0600);
    const timeval times[2] = {{1620284890, 0}, {1620284890, 0}};  // an even second: DOS keeps it
    ::utimes((tmp / "data/run1/a.qorvels").c_str(), times);
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
        struct stat status {};
        ::stat((backup / "run1/a.qorvels").c_str(), &status);
        EXPECT_TRUE(ui.alerts.empty());
        EXPECT_EQ(readFileBytes(backup / "run1/a.qorvels"), a);
        EXPECT_EQ(std::pair(status.st_mode & 07777, status.st_mtime),
                  std::pair(0600u, time_t{1620284890}));
        EXPECT_EQ(readFileBytes(backup / "run1/sub/b.qorvels"), bytesOf("b"));
        EXPECT_FALSE(fs::exists(backup / "run1/empty"));  // folders come only as parents of files
    }
}

TEST(RestoreFolderTree, EachEntryThatCannotBeRestoredGetsOneLineAndTheRestAreWritten) {
    TemporaryDirectory tmp;
    Bytes zip =
        pythonZip(tmp / "in.zip",
                  {"run1/", "run1/old.qorvels=new", "run1/../../escape.qorvels=x",
                   "run1/sub/linked.qorvels=x", "run1/bad.qorvels=original", "run1/ok.qorvels=ok"});
    const Bytes original = bytesOf("original");
    std::copy_n(bytesOf("ORIGINAL").begin(), 8,
                std::search(zip.begin(), zip.end(), original.begin(), original.end()));
    writeFileBytes(tmp / "in.zip", zip);
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

TEST(RestoreFolderTree, ReportsAPassThatEndsBeforeTheDeclaredEntryCount) {
    for (const std::string detail : {"encrypted entries are not supported", ""}) {
        TemporaryDirectory tmp;
        Bytes zip = pythonZip(
            tmp / "in.zip", {"run1/", "run1/a.qorvels=a", "run1/b.qorvels=b", "run1/c.qorvels=c"});
        if (detail.empty()) {
            zip[thirdRecord(zip, "\1\2")] = 'X';  // a damaged central record
        } else {                                  // general purpose bit 0 in both headers
            zip[thirdRecord(zip, "\3\4") + 6] |= 1;
            zip[thirdRecord(zip, "\1\2") + 8] |= 1;
        }
        writeFileBytes(tmp / "in.zip", zip);
        ScriptedUserInterface ui;
        const Error early(marrowzip::ArchiveError::invalidCentralDirectoryEntryCount,
                          (tmp / "in.zip").string(), {}, detail);
        EXPECT_EQ(
            restore(ui, tmp / "in.zip", tmp / "backup/run1"),
            "Extraction of ZIP archive failed with error:" + std::string(early.what()) + "\n");
        EXPECT_EQ(listTree(tmp / "backup"), (std::vector<std::string>{"run1", "run1/a.qorvels"}));
    }
}

// Two central records for one local record: the second entry would be written from the bytes
// that the first one already used.
TEST(RestoreFolderTree, RefusesAnEntryWhoseBytesAnEarlierEntryUsed) {
    namespace raw = marrowzip::testing;
    TemporaryDirectory tmp;
    raw::RawEntry shared = raw::rawFile("run1/b.qorvels", "a");
    shared.localHeaderOffset = 30 + 5;  // the record behind the folder's "run1/"
    writeFileBytes(tmp / "in.zip",
                   raw::buildRawArchive(
                       {raw::rawFolder("run1/"), raw::rawFile("run1/a.qorvels", "a"), shared}));
    ScriptedUserInterface ui;
    const std::string out = restore(ui, tmp / "in.zip", tmp / "backup/run1");
    EXPECT_EQ(out.rfind("File run1/b.qorvels with ", 0), 0u) << out;
    EXPECT_NE(out.find(Error(marrowzip::ArchiveError::invalidLocalHeaderDataOffset).what()),
              std::string::npos)
        << out;
    EXPECT_EQ(readFileBytes(tmp / "backup/run1/a.qorvels"), bytesOf("a"));
    EXPECT_FALSE(fs::exists(tmp / "backup/run1/b.qorvels"));
}

}  // namespace
}  // namespace dunmarrow::testing

#include "app/commands/archive_folder_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "commands/scripted_user_interface.hpp"

namespace dunmarrow::testing {
namespace {

// What the command prints, with `folders` chosen.
std::string archive(const fs::path& zip, const std::vector<fs::path>& folders) {
    ScriptedUserInterface ui;
    ui.newZipFile = fileURL(zip);
    for (const auto& folder : folders) {
        ui.folders.push_back(fileURL(folder, true));
    }
    archiveFolderTree(ui, ui.out);
    return ui.out.str();
}

int unzipTest(const fs::path& zip) {
    return runCommand("unzip -t " + shellQuote(zip.string())).exitCode;
}

TEST(ArchiveFolderTree, KeepsEveryFolderAndOnlyQorvelsFilesWithoutFollowingLinks) {
    TemporaryDirectory tmp;
    const fs::path run1 = tmp / "data/run1";
    for (const char* file : {"a.qorvels", "notes.txt", "x.qorvels.bak", "qorvels", "A.QORVELS",
                             "sub/b.qorvels", "y.qorvels/inner.txt"}) {
        writeFileText(run1 / file, file);
    }
    writeFileText(tmp / "elsewhere/c.qorvels", "c");
    fs::create_directories(run1 / "empty");
    fs::create_symlink("a.qorvels", run1 / "z.qorvels");
    fs::create_symlink(tmp / "elsewhere", run1 / "linked");

    EXPECT_EQ(archive(tmp / "out.zip", {run1}), "");
    // Parents first, and the items of a folder in byte order of their names.
    EXPECT_EQ(
        entryPaths(tmp / "out.zip"),
        (std::vector<std::string>{"run1/", "run1/a.qorvels", "run1/empty/", "run1/sub/",
                                  "run1/sub/b.qorvels", "run1/y.qorvels/", "run1/z.qorvels"}));
    EXPECT_EQ(unzipTest(tmp / "out.zip"), 0);
}

TEST(ArchiveFolderTree, RecordsFoldersOfTheSameNameTwiceInTheOrderChosen) {
    TemporaryDirectory tmp;
    writeFileText(tmp / "q/run/a.qorvels", "from q");
    writeFileText(tmp / "p/run/a.qorvels", "from p");
    archive(tmp / "out.zip", {tmp / "q/run", tmp / "p/run"});
    EXPECT_EQ(entryPaths(tmp / "out.zip"),
              (std::vector<std::string>{"run/", "run/a.qorvels", "run/", "run/a.qorvels"}));
    EXPECT_EQ(runCommand("unzip -p " + shellQuote((tmp / "out.zip").string())).output,
              "from qfrom p");
}

TEST(ArchiveFolderTree, AFailurePrintsOneLineAndLeavesAValidArchive) {
    const struct {
        const char* failure;
        std::vector<std::string> entriesLeft;
    } cases[] = {{"destination exists", {}},
                 {"second folder vanished", {"run1/", "run1/a.qorvels"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure);
        TemporaryDirectory tmp;
        writeFileText(tmp / "data/run1/a.qorvels", "a");
        writeFileText(tmp / "data/run3/c.qorvels", "c");
        const bool exists = c.entriesLeft.empty();
        if (exists) writeFileText(tmp / "out.zip", "precious");
        // A vanished folder whose name passes the filter fails its append; run3 is never walked.
        const std::string out = archive(
            tmp / "out.zip", {tmp / "data/run1", tmp / "data/gone.qorvels", tmp / "data/run3"});
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(out.find(exists ? "out.zip: the file already exists" : "gone.qorvels"),
                  std::string::npos)
            << out;
        if (exists) {
            EXPECT_EQ(readFileBytes(tmp / "out.zip"), bytesOf("precious"));
        } else {
            EXPECT_EQ(entryPaths(tmp / "out.zip"), c.entriesLeft);
            EXPECT_EQ(unzipTest(tmp / "out.zip"), 0);
        }
    }
}

}  // namespace
}  // namespace dunmarrow::testing

#include "app/commands/archive_folder_tree.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "commands/scripted_user_interface.hpp"

namespace dunmarrow::testing {
namespace {

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
    // A named pipe is no file to carry, whatever its name.
    ASSERT_EQ(::mkfifo((run1 / "pipe.qorvels").c_str(), 0644), 0);

    // The pipe is left out without a failure line; the summary shows it as a warning.
    ScriptedUserInterface ui;
    EXPECT_EQ(archiveInto(ui, tmp / "out.zip", {run1}), "");
    ASSERT_TRUE(ui.summary);
    EXPECT_EQ(ui.summary->warnings, std::vector<std::string>{(run1 / "pipe.qorvels").string() +
                                                             ": not archived: a named pipe"});
    // Parents first, and the items of a folder in byte order of their names.
    EXPECT_EQ(
        entryPaths(tmp / "out.zip"),
        (std::vector<std::string>{"run1/", "run1/a.qorvels", "run1/empty/", "run1/sub/",
                                  "run1/sub/b.qorvels", "run1/y.qorvels/", "run1/z.qorvels"}));
}

TEST(ArchiveFolderTree, RecordsFoldersOfTheSameNameTwiceInTheOrderChosen) {
    TemporaryDirectory tmp;
    writeFileText(tmp / "q/run/a.qorvels", "from q");
    writeFileText(tmp / "p/run/a.qorvels", "from p");
    ScriptedUserInterface ui;
    archiveInto(ui, tmp / "out.zip", {tmp / "q/run", tmp / "p/run"});
    EXPECT_EQ(entryPaths(tmp / "out.zip"),
              (std::vector<std::string>{"run/", "run/a.qorvels", "run/", "run/a.qorvels"}));
    EXPECT_EQ(runCommand("unzip -p " + shellQuote((tmp / "out.zip").string())).output,
              "from qfrom p");
}

TEST(ArchiveFolderTree, AFailurePrintsOneLineAndLeavesAValidArchive) {
    TemporaryDirectory tmp;
    writeFileText(tmp / "data/run1/a.qorvels", "a");
    writeFileText(tmp / "data/run3/c.qorvels", "c");
    writeFileText(tmp / "taken.zip", "precious");
    // A vanished folder whose name passes the filter fails its append; run3 is never walked.
    const std::vector<fs::path> folders = {tmp / "data/run1", tmp / "data/gone.qorvels",
                                           tmp / "data/run3"};
    ScriptedUserInterface taken;
    EXPECT_EQ(archiveInto(taken, tmp / "taken.zip", folders),
              (tmp / "taken.zip").string() + ": the file already exists\n");
    EXPECT_EQ(readFileBytes(tmp / "taken.zip"), bytesOf("precious"));
    ASSERT_TRUE(taken.summary);
    EXPECT_EQ(taken.summary->text(), "Nothing was archived: taken.zip could not be created");
    EXPECT_EQ(taken.summary->failures,
              std::vector<std::string>{(tmp / "taken.zip").string() + ": the file already exists"});
    ScriptedUserInterface ui;
    EXPECT_EQ(archiveInto(ui, tmp / "out.zip", folders),
              (tmp / "data/gone.qorvels").string() + ": no such file or folder\n");
    ASSERT_TRUE(ui.summary);
    EXPECT_EQ(std::pair(ui.summary->files, ui.summary->folders),
              (std::pair<std::int64_t, std::int64_t>(1, 1)));
    EXPECT_EQ(entryPaths(tmp / "out.zip"), (std::vector<std::string>{"run1/", "run1/a.qorvels"}));
    EXPECT_EQ(runCommand("unzip -t " + shellQuote((tmp / "out.zip").string())).exitCode, 0);
}

}  // namespace
}  // namespace dunmarrow::testing

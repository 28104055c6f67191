// The commands' jobs on the worker-thread runner: progress, cancellation from another thread
// (this suite also runs under ThreadSanitizer), summaries, and a job stopped by SIGTERM.
#include "app/commands/job.hpp"

#include <gtest/gtest.h>

#include "app/commands/restore_folder_tree.hpp"
#include "commands/scripted_user_interface.hpp"

namespace dunmarrow::testing {
namespace {

// A run folder of `files` incompressible files of `size` bytes in two sub-folders.
fs::path makeRun(const fs::path& root, int files, std::size_t size) {
    for (int i = 0; i < files; ++i) {
        writeFileBytes(
            root / (i % 2 == 0 ? "even" : "odd") / ("f" + std::to_string(100 + i) + ".qorvels"),
            randomBytes(size, static_cast<std::uint32_t>(i + 1)));
    }
    return root;
}

TEST(CommandJobs, ArchivingReachesTheWholeOfItsBytesAndSumsUpWhatTheArchiveHolds) {
    TemporaryDirectory tmp;
    // One file far larger than the others: the bar follows bytes, not entries.
    makeRun(tmp / "data/run1", 2, 1000);
    writeFileBytes(tmp / "data/run1/big.qorvels", randomBytes(3 << 20));
    writeFileText(tmp / "data/run1/left-out.txt", "x");

    ScriptedUserInterface ui;
    archiveInto(ui, tmp / "out.zip", {tmp / "data/run1"});
    const ProgressSnapshot& done = ui.lastProgress;
    EXPECT_TRUE(done.counted);
    EXPECT_EQ(std::pair(done.filesDone, done.filesTotal),
              (std::pair<std::int64_t, std::int64_t>(3, 3)));
    EXPECT_EQ(done.unitsTotal, 2000 + (3 << 20) + 3);  // three folders count one unit each
    EXPECT_EQ(done.unitsDone, done.unitsTotal);

    ASSERT_TRUE(ui.summary);
    const JobSummary& summary = *ui.summary;
    EXPECT_EQ(std::pair(summary.files, summary.folders),
              (std::pair<std::int64_t, std::int64_t>(3, 3)));
    EXPECT_EQ(summary.bytesIn, 2000u + (3u << 20));
    EXPECT_EQ(summary.archiveSize, fs::file_size(tmp / "out.zip"));
    EXPECT_EQ(summary.text().substr(0, 62),
              "Archived 3 files and 3 folders from 1 folder into out.zip \u2014 ");
    EXPECT_EQ(summary.folderToOpen(), tmp.path().string());
    EXPECT_EQ(ui.out.str(), "");
}

// The window's Cancel comes from the GUI thread while the worker appends.
TEST(CommandJobs, CancelFromAnotherThreadLeavesAValidArchiveWithAPrefixOfTheEntries) {
    TemporaryDirectory tmp;
    const fs::path run = makeRun(tmp / "data/run1", 40, 256 << 10);
    ScriptedUserInterface whole;
    archiveInto(whole, tmp / "whole.zip", {run});
    const std::vector<std::string> all = entryPaths(tmp / "whole.zip");

    ScriptedUserInterface ui;
    ui.cancelAtUnits = 2 << 20;  // of 10 MiB
    archiveInto(ui, tmp / "cancelled.zip", {run});
    ASSERT_TRUE(ui.summary);
    EXPECT_TRUE(ui.summary->cancelled);
    EXPECT_EQ(ui.out.str(), "") << "a cancel is not a failure";
    const std::vector<std::string> kept = entryPaths(tmp / "cancelled.zip");
    ASSERT_LT(kept.size(), all.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all.begin()));
    EXPECT_EQ(static_cast<std::size_t>(ui.summary->files + ui.summary->folders), kept.size());
    EXPECT_EQ(ui.summary->text().rfind(
                  "Archiving cancelled: cancelled.zip is a valid archive of the ", 0),
              0u)
        << ui.summary->text();
    // Entries compressed but not yet written when the cancel comes are dropped too; should that
    // be all of them, the archive is the empty one (which unzip warns about).
    if (kept.empty()) {
        EXPECT_EQ(fs::file_size(tmp / "cancelled.zip"), 22u);
    } else {
        const auto test = runCommand("unzip -tq " + shellQuote((tmp / "cancelled.zip").string()));
        EXPECT_EQ(test.exitCode, 0) << test.output;
    }
}

TEST(CommandJobs, ACancelledRestoreStopsAfterAWholeEntry) {
    TemporaryDirectory tmp;
    const fs::path run = makeRun(tmp / "data/run1", 30, 128 << 10);
    ScriptedUserInterface archiving;
    archiveInto(archiving, tmp / "run1.zip", {run});

    ScriptedUserInterface ui;
    ui.file = fileURL(tmp / "run1.zip");
    ui.folder = fileURL(tmp / "backup/run1", true);
    ui.cancelAtUnits = 1;
    restoreFolderTree(ui, ui.out);
    ASSERT_TRUE(ui.summary);
    EXPECT_TRUE(ui.summary->cancelled);
    EXPECT_EQ(ui.out.str(), "");
    // A cancel that lands before the first entry is written leaves no folder at all.
    const fs::path backup = tmp / "backup/run1";
    std::int64_t written = 0;
    for (const std::string& item : listTree(backup)) {
        if (!fs::is_regular_file(backup / item)) continue;
        ++written;
        EXPECT_EQ(readFileBytes(backup / item), readFileBytes(run / item)) << item;
    }
    EXPECT_EQ(written, ui.summary->files);
    EXPECT_LT(written, 30);
    EXPECT_EQ(ui.summary->text(),
              "Restoring cancelled: restored " + countOf(written, "file", "files") + " into " +
                  backup.string() + "; " + countOf(30 - written, "file was", "files were") +
                  " not restored");
}

// Counts and sizes as people write them, and what a summary says was and was not done (the
// summaries of a refused archive and of a whole restore are checked with their commands).
TEST(CommandJobs, SummariesSayWhatWasAndWasNotDoneInNumbersAsPeopleWriteThem) {
    const std::pair<std::int64_t, const char*> counts[] = {
        {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-1234, "-1,234"}};
    for (const auto& [count, text] : counts)
        EXPECT_EQ(formatCount(count), text);
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {1, "1 byte"},           {999, "999 bytes"},  {1000, "1.0 kB"},
        {56'100'000, "56.1 MB"}, {999'960, "1.0 MB"}, {1'073'741'824, "1.1 GB"}};
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(formatSize(bytes), text);

    JobSummary archived;
    archived.started = true;
    archived.files = 1234;
    archived.folders = 56;
    archived.chosenFolders = 2;
    archived.bytesIn = 56'100'000;
    archived.archiveSize = 23'400'000;
    archived.archivePath = "/data/run1archive.zip";
    JobSummary failed = archived;
    failed.failures = {"/data/run1/x.qorvels: no such file or folder"};
    JobSummary partly;
    partly.command = JobSummary::Command::restore;
    partly.started = true;
    partly.files = 1234;
    partly.filesFailed = 2;
    partly.restoredFolder = "/backup/run1";
    partly.archivePath = "/data/run1archive.zip";
    JobSummary empty = partly;
    empty.emptyArchive = true;
    const std::string archivedText =
        "Archived 1,234 files and 56 folders from 2 folders into run1archive.zip \u2014 56.1 MB "
        "\u2192 23.4 MB";
    const std::pair<JobSummary, std::string> rows[] = {
        {archived, archivedText},
        {failed, archivedText + "; then a failure stopped it and the rest was not archived"},
        {partly, "Restored 1,234 files into /backup/run1; 2 files could not be restored"},
        {empty, "Nothing was restored: run1archive.zip holds no entries"}};
    for (const auto& [summary, text] : rows)
        EXPECT_EQ(summary.text(), text);
    EXPECT_EQ(archived.folderToOpen(), "/data");
    EXPECT_EQ(partly.folderToOpen(), "/backup/run1");
}

// The desktop's force-quit: SIGTERM to a process running the app's runner and signal handling
// in the middle of a job. The job is cancelled and waited for; the archive stays valid.
TEST(CommandJobs, SigtermInTheMiddleOfArchivingLeavesAValidArchive) {
    if (!haveProgram("unzip")) GTEST_SKIP() << "Info-ZIP unzip is missing";
    TemporaryDirectory tmp;
    const fs::path run = makeRun(tmp / "data/run1", 24, 1 << 20);
    const fs::path zip = tmp / "run1.zip";
    const fs::path log = tmp / "driver.log";
    // "started" on standard error: bytes are being appended.
    const auto result =
        runCommand(shellQuote(DUNMARROW_JOB_DRIVER) + " " + shellQuote(zip.string()) + " " +
                   shellQuote(run.string()) + " 2>" + shellQuote(log.string()) + " & pid=$!; " +
                   "for i in $(seq 1 600); do grep -q started " + shellQuote(log.string()) +
                   " && break; sleep 0.01; done; kill -TERM $pid; wait $pid; echo \"exit $?\"");
    EXPECT_NE(result.output.find("Archiving cancelled: run1.zip is a valid archive of the "),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("exit 0"), std::string::npos) << result.output;
    // Stopped before its first entry was placed, the archive holds none: still valid, though
    // this client only warns of it.
    const auto test = runCommand("unzip -t " + shellQuote(zip.string()));
    const bool empty = test.output.find("zipfile is empty") != std::string::npos;
    EXPECT_EQ(test.exitCode, empty ? 1 : 0) << test.output;
    EXPECT_LT(entryPaths(zip).size(), 27u);
}

}  // namespace
}  // namespace dunmarrow::testing

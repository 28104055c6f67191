// The work of a command on a worker thread: what it has done so far (read by the window while
// it runs), how it is cancelled, and what it did in the end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "marrowzip/common/progress.hpp"

namespace dunmarrow {

// What the progress dialog shows at one moment.
struct ProgressSnapshot {
    bool counted = false;  // whether the totals below are known yet
    std::int64_t filesDone = 0;
    std::int64_t filesTotal = 0;
    // Bytes of the files plus one unit per folder, as the engine's Progress counts them.
    std::int64_t unitsDone = 0;
    std::int64_t unitsTotal = 0;
    std::string currentPath;
    bool cancelled = false;

    double fraction() const {
        return unitsTotal > 0 ? static_cast<double>(unitsDone) / static_cast<double>(unitsTotal)
                              : 0.0;
    }
};

// Shared by the worker, which reports the items it hands to the engine, and the window, which
// reads snapshots and cancels. Every member may be called from any thread.
// The files and units (bytes, 1 for a folder) a job will handle.
struct JobTotals {
    std::int64_t files = 0;
    std::int64_t units = 0;
};

class JobProgress {
public:
    JobProgress() = default;
    JobProgress(const JobProgress&) = delete;
    JobProgress& operator=(const JobProgress&) = delete;
    ~JobProgress() = default;

    // Cancels the engine's operations of this job at their next chunk.
    void cancel() noexcept;
    bool isCancelled() const noexcept;
    // Throws ArchiveError::cancelledOperation once the job is cancelled.
    void throwIfCancelled() const;

    void setTotals(const JobTotals& totals);

    // A new item of `units` units (a file's size, 1 for a folder) at `path`; the engine reports
    // its bytes to the returned Progress, which lives as long as this object. With
    // `cancellable`, cancelling the job cancels the item's operation too; without, the item
    // runs to its end and the worker stops before the next one.
    marrowzip::Progress* beginItem(std::string path, std::int64_t units, bool isFile,
                                   bool cancellable);

    ProgressSnapshot snapshot() const;

private:
    struct Item {
        std::shared_ptr<marrowzip::Progress> progress;
        std::int64_t units = 0;
        bool isFile = false;
        std::string path;
    };
    static bool isDone(const Item& item);

    marrowzip::Progress root_;
    mutable std::mutex mutex_;
    std::vector<Item> items_;
    // Items complete roughly in order: the done ones before this index are summed once.
    mutable std::size_t donePrefix_ = 0;
    mutable std::int64_t donePrefixUnits_ = 0;
    mutable std::int64_t donePrefixFiles_ = 0;
    std::int64_t filesTotal_ = 0;
    std::int64_t unitsTotal_ = 0;
    bool counted_ = false;
};

// Runs one piece of work on its own thread from construction; the destructor cancels it and
// waits for it, so that no work outlives the object that started it.
class JobRunner {
public:
    using Work = std::function<void(JobProgress&)>;

    JobRunner(JobProgress& progress, Work work);
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;
    ~JobRunner();

    void cancel() noexcept { progress_.cancel(); }
    bool isFinished() const noexcept { return finished_.load(); }
    // Waits at most `timeout`; true when the work has ended.
    bool waitFor(std::chrono::milliseconds timeout);
    // Waits for the end of the work (joins its thread).
    void wait();
    std::chrono::steady_clock::duration elapsed() const {
        return std::chrono::steady_clock::now() - started_;
    }

private:
    JobProgress& progress_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    std::thread thread_;
};

// What a command did, for the summary in the window.
struct JobSummary {
    enum class Command { archive, restore };
    Command command = Command::archive;
    bool started = false;       // the archive was created or opened
    bool emptyArchive = false;  // restoring: the archive holds no entry at all
    bool cancelled = false;
    std::int64_t files = 0;        // archived or restored
    std::int64_t folders = 0;      // archived
    std::int64_t filesFailed = 0;  // restoring: entries that could not be written
    std::int64_t filesPlanned = 0;
    std::int64_t chosenFolders = 0;
    std::uint64_t bytesIn = 0;      // archiving: the sizes of the archived files
    std::uint64_t archiveSize = 0;  // archiving: the size of the archive written
    std::string archivePath;
    std::string restoredFolder;         // restoring: where the root lands
    std::vector<std::string> failures;  // the standard-output lines, without their line breaks
    std::vector<std::string> warnings;  // what was left out on purpose, worth a person's look

    // The sentence the window shows.
    std::string text() const;
    // The folder to open from the summary: the archive's, or the restored root.
    std::string folderToOpen() const;
};

// Writes each failure line to standard output (flushed at once, so that a killed app loses
// none) and keeps it for the summary.
class FailureLog {
public:
    FailureLog(std::ostream& out, JobSummary& summary) : out_(out), summary_(summary) {}
    void fail(const std::string& line);
    void warn(const std::string& line) { summary_.warnings.push_back(line); }

private:
    std::ostream& out_;
    JobSummary& summary_;
};

// "1,234": a count as the summaries show it.
std::string formatCount(std::int64_t count);
// "56.1 MB": a size in decimal units.
std::string formatSize(std::uint64_t bytes);
// "3 files" / "1 file".
std::string countOf(std::int64_t count, const std::string& singular, const std::string& plural);

}  // namespace dunmarrow

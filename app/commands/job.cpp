#include "app/commands/job.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "marrowzip/common/error.hpp"

namespace dunmarrow {

void JobProgress::cancel() noexcept {
    root_.cancel();
}

bool JobProgress::isCancelled() const noexcept {
    return root_.isCancelled();
}

void JobProgress::throwIfCancelled() const {
    if (isCancelled()) throw marrowzip::Error(marrowzip::ArchiveError::cancelledOperation);
}

void JobProgress::setTotals(const JobTotals& totals) {
    const std::lock_guard lock(mutex_);
    filesTotal_ = totals.files;
    unitsTotal_ = totals.units;
    counted_ = true;
}

marrowzip::Progress* JobProgress::beginItem(std::string path, std::int64_t units, bool isFile,
                                            bool cancellable) {
    auto progress =
        cancellable ? root_.makeChild(units, units) : std::make_shared<marrowzip::Progress>(units);
    const std::lock_guard lock(mutex_);
    items_.push_back(Item{std::move(progress), units, isFile, std::move(path)});
    return items_.back().progress.get();
}

bool JobProgress::isDone(const Item& item) {
    return item.progress->completedUnitCount() >= item.units;
}

ProgressSnapshot JobProgress::snapshot() const {
    ProgressSnapshot snapshot;
    snapshot.cancelled = isCancelled();
    const std::lock_guard lock(mutex_);
    snapshot.counted = counted_;
    snapshot.filesTotal = filesTotal_;
    snapshot.unitsTotal = unitsTotal_;
    while (donePrefix_ < items_.size() && isDone(items_[donePrefix_])) {
        donePrefixUnits_ += items_[donePrefix_].units;
        donePrefixFiles_ += items_[donePrefix_].isFile ? 1 : 0;
        ++donePrefix_;
    }
    snapshot.unitsDone = donePrefixUnits_;
    snapshot.filesDone = donePrefixFiles_;
    // Queued items may finish out of order; the first unfinished one is the one being worked on.
    const Item* current = nullptr;
    for (std::size_t i = donePrefix_; i < items_.size(); ++i) {
        const Item& item = items_[i];
        if (isDone(item)) {
            snapshot.unitsDone += item.units;
            snapshot.filesDone += item.isFile ? 1 : 0;
            continue;
        }
        snapshot.unitsDone +=
            std::clamp<std::int64_t>(item.progress->completedUnitCount(), 0, item.units);
        if (current == nullptr) current = &item;
    }
    if (current == nullptr && !items_.empty()) current = &items_.back();
    if (current != nullptr) snapshot.currentPath = current->path;
    return snapshot;
}

JobRunner::JobRunner(JobProgress& progress, Work work) : progress_(progress) {
    thread_ = std::thread([this, work = std::move(work)] {
        work(progress_);
        {
            const std::lock_guard lock(mutex_);
            finished_.store(true);
        }
        finishedChanged_.notify_all();
    });
}

JobRunner::~JobRunner() {
    cancel();
    wait();
}

bool JobRunner::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return finishedChanged_.wait_for(lock, timeout, [this] { return finished_.load(); });
}

void JobRunner::wait() {
    if (thread_.joinable()) thread_.join();
}

void FailureLog::fail(const std::string& line) {
    summary_.failures.push_back(line);
    out_ << line << '\n' << std::flush;
}

std::string formatCount(std::int64_t count) {
    std::string digits = std::to_string(count < 0 ? -count : count);
    for (auto i = static_cast<std::ptrdiff_t>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<std::size_t>(i), ",");
    }
    return count < 0 ? "-" + digits : digits;
}

std::string formatSize(std::uint64_t bytes) {
    if (bytes < 1000) return countOf(static_cast<std::int64_t>(bytes), "byte", "bytes");
    constexpr std::array<const char*, 5> units = {"kB", "MB", "GB", "TB", "PB"};
    auto value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < units.size()) {
        value /= 1000.0;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f %s", value, units.at(unit));
    return text.data();
}

std::string countOf(std::int64_t count, const std::string& singular, const std::string& plural) {
    return formatCount(count) + " " + (count == 1 ? singular : plural);
}

namespace {

std::string fileName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string archiveText(const JobSummary& s) {
    const std::string name = fileName(s.archivePath);
    if (!s.started) return "Nothing was archived: " + name + " could not be created";
    const std::string content =
        countOf(s.files, "file", "files") + " and " + countOf(s.folders, "folder", "folders");
    const std::string sizes = formatSize(s.bytesIn) + " \u2192 " + formatSize(s.archiveSize);
    if (s.cancelled) {
        return "Archiving cancelled: " + name + " is a valid archive of the " + content +
               " archived before (" + sizes + ")";
    }
    std::string text = "Archived " + content + " from " +
                       countOf(s.chosenFolders, "folder", "folders") + " into " + name +
                       " \u2014 " + sizes;
    if (!s.failures.empty()) text += "; then a failure stopped it and the rest was not archived";
    return text;
}

std::string restoreText(const JobSummary& s) {
    const std::string name = fileName(s.archivePath);
    if (!s.started) return "Nothing was restored: " + name + " could not be read";
    if (s.emptyArchive) return "Nothing was restored: " + name + " holds no entries";
    const std::int64_t failed = s.filesFailed;
    const std::string restored = countOf(s.files, "file", "files") + " into " + s.restoredFolder;
    std::string text =
        s.cancelled ? "Restoring cancelled: restored " + restored + "; " +
                          countOf(std::max<std::int64_t>(s.filesPlanned - s.files - failed, 0),
                                  "file was", "files were") +
                          " not restored"
                    : "Restored " + restored;
    if (failed > 0) text += "; " + countOf(failed, "file", "files") + " could not be restored";
    return text;
}

}  // namespace

std::string JobSummary::text() const {
    return command == Command::archive ? archiveText(*this) : restoreText(*this);
}

std::string JobSummary::folderToOpen() const {
    if (command == Command::restore) return restoredFolder;
    const auto slash = archivePath.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : archivePath.substr(0, slash);
}

}  // namespace dunmarrow

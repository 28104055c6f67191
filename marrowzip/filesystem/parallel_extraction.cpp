#include "marrowzip/filesystem/parallel_extraction.hpp"

#include <algorithm>
#include <iterator>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {
namespace {

constexpr std::size_t filesPerWorker = 32;
// Large files are read and written in pieces of 256 KiB: a fifth of the system time of 16 KiB
// pieces. Small ones keep small buffers, which cost less to set up for each file.
std::int64_t chunkSizeFor(const Entry& entry) {
    constexpr std::uint64_t large = std::uint64_t{1} << 20;
    return entry.uncompressedSize() >= large ? std::int64_t{1} << 18 : defaultChunkSize;
}

}  // namespace

ParallelExtraction::ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                                       ExtractionFolder& folder, bool skipChecksum,
                                       std::size_t workers, std::shared_ptr<MemoryBudget> budget)
    : source_(std::move(source)),
      pathEncoding_(std::move(pathEncoding)),
      folder_(folder),
      skipChecksum_(skipChecksum),
      queueLimit_(workers * filesPerWorker),
      budget_(std::move(budget)),
      archives_(workers),
      pool_(workers) {}

ParallelExtraction::~ParallelExtraction() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return pending_ == 0; });
}

void ParallelExtraction::extractFile(const Entry& entry, const std::string& path,
                                     std::shared_ptr<Progress> progress) {
    std::uint64_t index = 0;
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return pending_ < queueLimit_ || failure_; });
        if (failure_) {
            lock.unlock();
            finishFiles();
        }
        index = nextIndex_++;
        ++pending_;
        underWay_.insert(index);
    }
    pool_.submit([this, file = QueuedFile{entry, path, std::move(progress), index}](
                     std::size_t worker) { runFile(file, worker); });
}

void ParallelExtraction::runFile(const QueuedFile& file, std::size_t worker) {
    const Entry& entry = file.entry;
    const std::string& path = file.path;
    const std::uint64_t index = file.index;
    std::exception_ptr failure;
    CreatedItems created;
    bool skipped = false;
    {
        // A file after one that failed already is not started: nothing of it is to stay.
        const std::lock_guard lock(mutex_);
        skipped = failedIndex_ && index > *failedIndex_;
    }
    if (!skipped) {
        try {
            std::optional<Archive>& archive = archives_[worker];
            if (!archive) {
                archive = Archive::openFile(source_, Archive::AccessMode::read, pathEncoding_);
                archive->shareMemoryBudget(budget_);
            }
            const std::uint32_t checksum =
                folder_.extract(*archive, entry, path, chunkSizeFor(entry), skipChecksum_, false,
                                file.progress.get(), &created);
            if (!skipChecksum_ && checksum != entry.checksum()) {
                throw Error(ArchiveError::invalidCRC32, source_.path(), path);
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    {
        const std::lock_guard lock(mutex_);
        if (failure && (!failedIndex_ || index < *failedIndex_)) {
            failedIndex_ = index;
            failure_ = failure;
        }
        if (!created.empty()) created_.emplace(index, std::move(created));
        underWay_.erase(index);
        forgetSettledItems();
        --pending_;
    }
    finished_.notify_all();
}

void ParallelExtraction::forgetSettledItems() {
    if (failedIndex_) return;
    const std::uint64_t oldestUnderWay = underWay_.empty() ? nextIndex_ : *underWay_.begin();
    created_.erase(created_.begin(), created_.lower_bound(oldestUnderWay));
}

void ParallelExtraction::finishFiles() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return pending_ == 0; });
    if (!failedIndex_) return;
    // What the files after the first failure created: their files, then the folders made on
    // the way (those that files before the failure need are not empty and stay).
    const auto later = created_.upper_bound(*failedIndex_);
    CreatedItems items;
    std::for_each(later, created_.end(), [&](auto& made) {
        std::move(made.second.begin(), made.second.end(), std::back_inserter(items));
    });
    created_.erase(later, created_.end());
    folder_.removeCreated(std::move(items));
    std::rethrow_exception(failure_);
}

}  // namespace marrowzip

// Files of an archive extracted on worker threads, each reading through an archive stream of
// its own. Folders and links are extracted by the caller once the files before them are done,
// so that every path meets the tree a serial extraction would have built by then. When a file
// fails (or is cancelled), what the workers created for files after it in archive order is
// removed again, so that the result is the one a serial extraction leaves, whatever the timing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/processing/worker_pool.hpp"

namespace marrowzip {

class MemoryBudget;

class ParallelExtraction {
public:
    ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                       ExtractionFolder& folder, bool skipChecksum, std::size_t workers,
                       std::shared_ptr<MemoryBudget> budget);
    // Waits for the files under way (an error is on its way: theirs are dropped).
    ~ParallelExtraction();
    ParallelExtraction(const ParallelExtraction&) = delete;
    ParallelExtraction& operator=(const ParallelExtraction&) = delete;

    // Queues a file; waits while many are queued. Throws the failure of an earlier file.
    void extractFile(const Entry& entry, const std::string& path,
                     std::shared_ptr<Progress> progress);
    // Waits for every queued file; throws the failure of the first in archive order, once the
    // items of the files after it are removed.
    void finishFiles();

private:
    // A file handed to the workers, numbered in the order of the archive.
    struct QueuedFile {
        Entry entry;
        std::string path;
        std::shared_ptr<Progress> progress;
        std::uint64_t index = 0;
    };
    void runFile(const QueuedFile& file, std::size_t worker);
    // Forgets what files before every one still under way created: no failure can come before
    // them any more. Called with the mutex held.
    void forgetSettledItems();

    FileURL source_;
    std::optional<std::string> pathEncoding_;
    ExtractionFolder& folder_;
    bool skipChecksum_;
    std::size_t queueLimit_;

    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t pending_ = 0;
    std::uint64_t nextIndex_ = 0;
    std::optional<std::uint64_t> failedIndex_;
    std::exception_ptr failure_;
    std::set<std::uint64_t> underWay_;               // indexes queued and not yet done
    std::map<std::uint64_t, CreatedItems> created_;  // what the files made, by index
    std::shared_ptr<MemoryBudget> budget_;           // shared by the workers' archives
    std::vector<std::optional<Archive>> archives_;   // one per worker, opened on first use
    WorkerPool pool_;                                // last: stops before the rest goes
};

}  // namespace marrowzip

// Files of an archive extracted on worker threads, each reading through an archive stream of
// its own. Folders and links are extracted by the caller once the files before them are done,
// so that every path meets the tree a serial extraction would have built by then.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/processing/worker_pool.hpp"

namespace marrowzip {

class ParallelExtraction {
public:
    ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                       ExtractionFolder& folder, bool skipChecksum, std::size_t workers);
    // Waits for the files under way (an error is on its way: theirs are dropped).
    ~ParallelExtraction();
    ParallelExtraction(const ParallelExtraction&) = delete;
    ParallelExtraction& operator=(const ParallelExtraction&) = delete;

    // Queues a file; waits while many are queued. Throws the failure of an earlier file.
    void extractFile(const Entry& entry, const std::string& path,
                     std::shared_ptr<Progress> progress);
    // Waits for every queued file; throws the failure of the first in archive order.
    void finishFiles();

private:
    void throwFirstFailure();

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
    std::vector<std::optional<Archive>> archives_;  // one per worker, opened on first use
    WorkerPool pool_;                               // last: stops before the rest goes
};

}  // namespace marrowzip

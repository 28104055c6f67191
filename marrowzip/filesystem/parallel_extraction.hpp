// Entries of an archive read on worker threads, each worker through an archive stream of its
// own, with their outcomes handed back in archive order. What a job creates below the
// extraction folder is kept until its outcome is handed back, so that a pass that stops at an
// earlier entry can remove what later ones made, whatever the timing. Jobs travel to the
// workers in batches: handing a thread one empty or small entry costs more than reading it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/processing/positional_window.hpp"
#include "marrowzip/processing/worker_pool.hpp"

namespace marrowzip {

class MemoryBudget;

struct EntryJob {
    Entry entry;       // its central record read; its local records are read by the steps below
    std::string path;  // decoded
    Progress* progress = nullptr;
    std::uint64_t index = 0;  // in the central directory, from 0
};

struct EntryOutcome {
    std::exception_ptr failure = nullptr;
    bool skipped = false;   // an item was already there
    bool endsPass = false;  // the entry's local records cannot be read: the pass ends before it
    std::optional<Warning> warning = std::nullopt;
    // A folder entry's attributes, handed to the folder when the outcome is taken: the entry
    // counts only then.
    std::optional<FolderToFinish> folder = std::nullopt;
};

// Claims the bytes of the entry's local record, in archive order; false when the pass ends
// before the entry. Throws the entry's failure.
using EntryClaim = std::function<bool(const EntryJob& job)>;
// Reads one claimed entry through `archive`; records in `created` what it made below the folder.
using EntryWork =
    std::function<EntryOutcome(Archive& archive, const EntryJob& job, CreatedItems* created)>;

// The steps of reading an entry, each false once the entry's outcome is settled: its local
// records are read through `window` in any order, then claimed in archive order, then its data
// is read. No byte of its data is read before its claim, and a long local header (one that an
// archive could point at from many central records) is read whole only after it.
struct EntrySteps {
    EntryClaim claim;
    EntryWork work;

    // `whole`: the whole header at once, however long (on a thread that claims it next).
    static bool locate(PositionalWindow& window, EntryJob& job, EntryOutcome& outcome,
                       bool whole = false);
    bool claimed(const EntryJob& job, EntryOutcome& outcome) const;
    void read(Archive& archive, PositionalWindow& window, EntryJob& job, EntryOutcome& outcome,
              CreatedItems* created) const;
};

class ParallelExtraction {
public:
    struct Job {
        EntryJob job;
        std::uint64_t work = 0;
        EntryOutcome outcome;
        CreatedItems created;
    };

    ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding, std::size_t workers,
                       std::shared_ptr<MemoryBudget> budget, EntrySteps steps);
    // Waits for the jobs under way.
    ~ParallelExtraction();
    ParallelExtraction(const ParallelExtraction&) = delete;
    ParallelExtraction& operator=(const ParallelExtraction&) = delete;

    // Whether another job would have to wait for an outcome to be taken first.
    bool full() const noexcept { return batches_.size() >= queueLimit_; }
    // How many jobs may be submitted and not yet handed back, at most.
    std::size_t jobsAtMost() const noexcept;
    // Whether every job submitted so far was handed back (none is filling, sent or under way).
    bool idle() const noexcept { return (!filling_ || filling_->size == 0) && batches_.empty(); }
    // Adds the job to the batch being filled; `work` is what reading it costs, in bytes (its
    // data plus what the job costs besides). `job` is swapped with one handed back before, so
    // that the next entry reuses its buffers. A batch leaves for the workers once it holds
    // enough work or jobs, or when next() has to wait for it.
    void submit(EntryJob& job, std::uint64_t work);
    // The job the next submission adds, for the caller to fill in place (a job submitted as
    // slot() is not moved at all). It may also be left unsubmitted, and then stays the next
    // one. Not read by the workers, and valid until the next slot(), submit() or abandon().
    EntryJob& slot();
    // Sends the batch being filled in parts, one per worker, when the caller is about to wait
    // for every job: a folder's few files would otherwise all go to one worker.
    void flush() { send(workers_); }
    // The oldest job with its outcome, once it is done; waits for it when `wait`. None when no
    // job is queued, or without `wait` while the oldest is under way or not yet sent. Valid
    // until the next submit(); the caller may take its outcome.
    Job* next(bool wait);
    // When full(), waits until the batch half-way down the queue is done: the caller wakes once
    // for several batches, as those before it started earlier and are mostly done by then.
    void awaitRoom();
    // Starts no queued job any more, waits for those under way and returns what every job not
    // yet handed back created.
    CreatedItems abandon();

private:
    // Jobs in archive order, read one after the other by one worker, or in consecutive parts by
    // several. Batches handed back are kept for reuse, with the buffers of their jobs.
    struct Batch {
        std::vector<Job> jobs;  // the first `size` belong to the batch
        std::size_t size = 0;
        std::uint64_t work = 0;
        std::size_t handedBack = 0;  // jobs whose outcome next() returned
        std::size_t partsUnderWay = 0;
        // No part under way since it was sent: set with the last part's end, under mutex_, and
        // read without it.
        std::atomic<bool> finished = false;
    };
    // What each worker keeps between its jobs, opened on first use.
    struct Worker {
        std::optional<Archive> archive;
        std::optional<PositionalWindow> localRecords;
    };
    // Adds slot() as filled.
    void submitSlot(std::uint64_t work);
    // Sends the batch being filled in up to `parts` parts of about equal work. Each part has
    // its turn to claim, in archive order.
    void send(std::size_t parts);
    void run(Batch& batch, std::size_t first, std::size_t last, std::uint64_t turn,
             std::size_t worker);
    // Waits, holding `lock` on mutex_, until no part of `batch` is under way.
    void await(const Batch& batch, std::unique_lock<std::mutex>& lock);

    FileURL source_;
    std::optional<std::string> pathEncoding_;
    EntrySteps steps_;
    std::size_t workers_;
    std::size_t queueLimit_;

    std::mutex mutex_;
    std::condition_variable turn_;      // a part claimed, or the jobs were abandoned
    std::condition_variable finished_;  // the batch awaited, or the last part under way, finished
    const Batch* awaited_ = nullptr;    // under mutex_: by the caller's thread
    // The caller's thread alone changes these three; workers reach a batch only while it has
    // parts under way (counted under mutex_).
    std::shared_ptr<Batch> filling_;              // not yet sent
    std::deque<std::shared_ptr<Batch>> batches_;  // sent, in archive order, not all handed back
    std::vector<std::shared_ptr<Batch>> spare_;   // handed back, for reuse
    std::size_t underWay_ = 0;
    std::uint64_t turnsGiven_ = 0;          // caller's thread only
    std::uint64_t turnsClaimed_ = 0;        // under mutex_
    std::atomic<bool> abandoned_ = false;   // set under mutex_; read between jobs without it
    std::shared_ptr<MemoryBudget> budget_;  // shared by the workers' archives
    std::vector<Worker> perWorker_;
    WorkerPool pool_;  // last: stops before the rest goes
};

}  // namespace marrowzip

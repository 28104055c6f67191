#include "marrowzip/filesystem/parallel_extraction.hpp"

#include <algorithm>
#include <iterator>

#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {
namespace {

// A batch leaves for the workers at about 1 MiB of work or 256 jobs: few enough hand-offs that
// archives of empty entries are not slowed by them, small enough batches that both workers
// share the entries of a folder tree. Four batches per worker may wait for their outcomes.
constexpr std::uint64_t batchWork = std::uint64_t{1} << 20;
constexpr std::size_t batchJobs = 256;
constexpr std::size_t batchesPerWorker = 4;
constexpr std::size_t firstBatchCapacity = 32;

}  // namespace

ParallelExtraction::ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                                       std::size_t workers, std::shared_ptr<MemoryBudget> budget,
                                       EntryWork work)
    : source_(std::move(source)),
      pathEncoding_(std::move(pathEncoding)),
      work_(std::move(work)),
      workers_(workers),
      queueLimit_(workers * batchesPerWorker),
      budget_(std::move(budget)),
      archives_(workers),
      pool_(workers) {}

ParallelExtraction::~ParallelExtraction() {
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    changed_.wait(lock, [this] { return underWay_ == 0; });
}

bool ParallelExtraction::full() {
    const std::lock_guard lock(mutex_);
    return batches_.size() >= queueLimit_;
}

void ParallelExtraction::submit(EntryJob&& job, std::uint64_t work) {
    if (!filling_) {
        filling_ = std::make_shared<Batch>();
        // As many jobs as the last batch took: growing a batch moves every job in it again, on
        // the caller's thread, which every entry passes through.
        filling_->jobs.reserve(std::max(firstBatchCapacity, lastBatchJobs_));
    }
    Job& added = filling_->jobs.emplace_back();
    added.job = std::move(job);
    added.work = work;
    // Each job's work is at most the largest file position plus a little: no overflow before
    // the batch leaves.
    filling_->work += work;
    if (filling_->work >= batchWork || filling_->jobs.size() >= batchJobs) send();
}

void ParallelExtraction::flush() {
    if (!filling_) return;
    const std::shared_ptr<Batch> whole = std::move(filling_);
    std::vector<Job>& jobs = whole->jobs;
    std::uint64_t workLeft = whole->work;
    auto first = jobs.begin();
    for (std::size_t parts = std::min(workers_, jobs.size()); parts > 0; --parts) {
        // Each part takes about an equal share of the work left, and at least one job.
        const std::uint64_t share = workLeft / parts;
        filling_ = std::make_shared<Batch>();
        auto last = first;
        do {
            filling_->work += last->work;
            ++last;
        } while (last != jobs.end() &&
                 (parts == 1 || (filling_->work < share &&
                                 static_cast<std::size_t>(jobs.end() - last) >= parts)));
        filling_->jobs.assign(std::make_move_iterator(first), std::make_move_iterator(last));
        workLeft -= filling_->work;
        first = last;
        send();
    }
}

void ParallelExtraction::send() {
    if (!filling_) return;
    std::shared_ptr<Batch> batch = std::move(filling_);
    filling_.reset();
    lastBatchJobs_ = batch->jobs.size();
    {
        const std::lock_guard lock(mutex_);
        batches_.push_back(batch);
        ++underWay_;
    }
    pool_.submit([this, batch](std::size_t worker) { run(batch, worker); });
}

void ParallelExtraction::run(const std::shared_ptr<Batch>& batch, std::size_t worker) {
    for (Job& job : batch->jobs) {
        // A job behind the entry that ended the pass is not started: nothing of it is to stay.
        // (What `started` counts is read once the batch is done, under the lock.)
        if (abandoned_) break;
        ++batch->started;
        try {
            std::optional<Archive>& archive = archives_[worker];
            if (!archive) {
                archive = Archive::openFile(source_, Archive::AccessMode::read, pathEncoding_);
                archive->shareMemoryBudget(budget_);
            }
            job.outcome = work_(*archive, job.job, &job.created);
        } catch (...) {
            job.outcome.failure = std::current_exception();
        }
    }
    {
        const std::lock_guard lock(mutex_);
        batch->done = true;
        --underWay_;
    }
    changed_.notify_all();
}

std::optional<std::pair<EntryJob, EntryOutcome>> ParallelExtraction::next(bool wait) {
    // Waiting for a batch that was never sent would never end.
    if (wait && batches_.empty()) send();
    std::unique_lock lock(mutex_);
    if (batches_.empty()) return std::nullopt;
    if (wait) changed_.wait(lock, [this] { return batches_.front()->done; });
    const std::shared_ptr<Batch> batch = batches_.front();
    if (!batch->done) return std::nullopt;
    Job& job = batch->jobs[batch->handedBack++];
    if (batch->handedBack == batch->jobs.size()) batches_.pop_front();
    return std::optional<std::pair<EntryJob, EntryOutcome>>(std::in_place, std::move(job.job),
                                                            std::move(job.outcome));
}

CreatedItems ParallelExtraction::abandon() {
    filling_.reset();
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    changed_.wait(lock, [this] { return underWay_ == 0; });
    CreatedItems items;
    for (const auto& batch : batches_) {
        for (std::size_t index = batch->handedBack; index < batch->started; ++index) {
            auto& created = batch->jobs[index].created;
            std::move(created.begin(), created.end(), std::back_inserter(items));
        }
    }
    batches_.clear();
    return items;
}

}  // namespace marrowzip

#include "marrowzip/filesystem/parallel_extraction.hpp"

#include <algorithm>
#include <iterator>
#include <span>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/processing/memory_budget.hpp"
#include "marrowzip/read/archive_reader.hpp"

namespace marrowzip {
namespace {

// A batch leaves for the workers at about 1 MiB of work or 256 jobs: few enough hand-offs that
// archives of empty entries are not slowed by them, small enough batches that both workers
// share the entries of a folder tree. Four batches per worker may wait for their outcomes.
constexpr std::uint64_t batchWork = std::uint64_t{1} << 20;
constexpr std::size_t batchJobs = 256;
constexpr std::size_t batchesPerWorker = 4;
// Local headers whose name and extra field take at most this are read whole before their
// claim: a part's jobs then hold at most 1 MiB of them, whatever the archive claims.
constexpr std::size_t heldTail = std::size_t{4} << 10;

}  // namespace

bool EntrySteps::locate(PositionalWindow& window, EntryJob& job, EntryOutcome& outcome,
                        bool whole) {
    outcome.endsPass = !readLocalRecords(window, job.entry, whole ? wholeLocalHeader : heldTail);
    return !outcome.endsPass;
}

bool EntrySteps::claimed(const EntryJob& job, EntryOutcome& outcome) const {
    try {
        outcome.endsPass = !claim(job);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    return !outcome.endsPass && !outcome.failure;
}

void EntrySteps::read(Archive& archive, PositionalWindow& window, EntryJob& job,
                      EntryOutcome& outcome, CreatedItems* created) const {
    // A long name or extra field is read now. The file may have changed since the claim: a
    // header that places the record elsewhere counts as one that cannot be read.
    const LocalFileHeader& header = job.entry.localFileHeader;
    if (header.fileNameData.size() + header.extraFieldData.size() + LocalFileHeader::fixedSize !=
        header.length()) {
        const std::uint64_t claimed = job.entry.localRecordLength();
        if (!readLocalRecords(window, job.entry, wholeLocalHeader) ||
            job.entry.localRecordLength() != claimed) {
            outcome.endsPass = true;
            return;
        }
    }
    try {
        outcome = work(archive, job, created);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
}

ParallelExtraction::ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                                       std::size_t workers, std::shared_ptr<MemoryBudget> budget,
                                       EntrySteps steps)
    : source_(std::move(source)),
      pathEncoding_(std::move(pathEncoding)),
      steps_(std::move(steps)),
      workers_(workers),
      queueLimit_(workers * batchesPerWorker),
      budget_(std::move(budget)),
      perWorker_(workers),
      pool_(workers) {}

ParallelExtraction::~ParallelExtraction() {
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    turn_.notify_all();  // parts waiting for their turn to claim
    finished_.wait(lock, [this] { return underWay_ == 0; });
}

std::size_t ParallelExtraction::jobsAtMost() const noexcept {
    // The queued batches and the one filling.
    return (queueLimit_ + 1) * batchJobs;
}

EntryJob& ParallelExtraction::slot() {
    if (!filling_) {
        if (spare_.empty()) {
            // At full size at once: growing would move every job again, on the caller's thread.
            filling_ = std::make_shared<Batch>();
            filling_->jobs.reserve(batchJobs);
        } else {
            filling_ = std::move(spare_.back());
            spare_.pop_back();
            filling_->size = filling_->handedBack = 0;
            filling_->work = 0;
        }
    }
    Batch& batch = *filling_;
    // Never beyond the room reserved: a batch leaves at batchJobs jobs.
    if (batch.size == batch.jobs.size()) batch.jobs.emplace_back();
    return batch.jobs[batch.size].job;
}

void ParallelExtraction::submit(EntryJob& job, std::uint64_t work) {
    EntryJob& added = slot();
    if (&added != &job) std::swap(added, job);
    submitSlot(work);
}

void ParallelExtraction::submitSlot(std::uint64_t work) {
    Batch& batch = *filling_;
    Job& added = batch.jobs[batch.size++];
    added.work = work;
    added.outcome = {};
    // Each job's work is at most the largest file position plus a little: no overflow before
    // the batch leaves.
    batch.work += work;
    if (batch.work >= batchWork || batch.size >= batchJobs) send(1);
}

void ParallelExtraction::send(std::size_t parts) {
    // A batch holding only the slot stays: it has no job to send.
    if (!filling_ || filling_->size == 0) return;
    const std::shared_ptr<Batch> batch = std::move(filling_);
    filling_.reset();
    parts = std::min(parts, batch->size);
    batch->finished.store(false, std::memory_order_relaxed);  // before the workers see it
    {
        const std::lock_guard lock(mutex_);
        batch->partsUnderWay = parts;
        underWay_ += parts;
        batches_.push_back(batch);
    }
    std::uint64_t workLeft = batch->work;
    for (std::size_t first = 0; parts > 0; --parts) {
        // Each part takes about an equal share of the work left, and at least one job.
        const std::uint64_t share = workLeft / parts;
        std::uint64_t work = 0;
        std::size_t last = first;
        do {
            work += batch->jobs[last++].work;
        } while (last < batch->size &&
                 (parts == 1 || (work < share && batch->size - last >= parts)));
        workLeft -= work;
        pool_.submit([this, batch, first, last, turn = turnsGiven_++](std::size_t worker) {
            run(*batch, first, last, turn, worker);
        });
        first = last;
    }
}

// `first` and `last`: the half-open range of the batch's jobs, as every range here.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void ParallelExtraction::run(Batch& batch, std::size_t first, std::size_t last, std::uint64_t turn,
                             std::size_t worker) {
    const std::span<Job> jobs(batch.jobs.data() + first, last - first);
    // What the jobs' earlier uses made goes here, not on the caller's thread, which hands the
    // jobs out: every part runs this far, even after abandon(), before the lists are read.
    for (Job& job : jobs)
        job.created.clear();
    Worker& own = perWorker_[worker];
    try {
        if (!own.archive) {
            own.archive = Archive::openFile(source_, Archive::AccessMode::read, pathEncoding_);
            own.archive->shareMemoryBudget(budget_);
            own.localRecords.emplace(ArchiveAccess::reader(*own.archive).stream());
        }
    } catch (...) {
        for (Job& job : jobs)
            job.outcome.failure = std::current_exception();
    }
    // The local records of the part's entries are placed first, and claimed at the part's turn:
    // the parts before it have claimed theirs by then, as a run on one thread would have.
    for (Job& job : jobs) {
        if (!job.outcome.failure) EntrySteps::locate(*own.localRecords, job.job, job.outcome);
    }
    {
        std::unique_lock lock(mutex_);
        turn_.wait(lock, [&] { return abandoned_ || turnsClaimed_ == turn; });
        for (Job& job : jobs) {
            if (!abandoned_ && !job.outcome.failure && !job.outcome.endsPass)
                steps_.claimed(job.job, job.outcome);
        }
        ++turnsClaimed_;
    }
    turn_.notify_all();
    for (Job& job : jobs) {
        // A job behind the entry that ended the pass is not started: nothing of it is to stay.
        if (abandoned_) break;
        if (job.outcome.failure || job.outcome.endsPass) continue;
        steps_.read(*own.archive, *own.localRecords, job.job, job.outcome, &job.created);
    }
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        if (--batch.partsUnderWay == 0) batch.finished.store(true, std::memory_order_release);
        --underWay_;
        // The caller wakes only for what it waits for: a batch done, or the last part.
        wake = (awaited_ == &batch && batch.partsUnderWay == 0) || underWay_ == 0;
    }
    if (wake) finished_.notify_all();
}

ParallelExtraction::Job* ParallelExtraction::next(bool wait) {
    // Waiting for a batch that was never sent would never end.
    if (wait && batches_.empty()) send(1);
    if (batches_.empty()) return nullptr;
    Batch& batch = *batches_.front();
    // Without waiting, a batch still under way is seen without the lock the workers take.
    if (!batch.finished.load(std::memory_order_acquire)) {
        if (!wait) return nullptr;
        std::unique_lock lock(mutex_);
        await(batch, lock);
    }
    Job& job = batch.jobs[batch.handedBack++];
    if (batch.handedBack == batch.size) {
        spare_.push_back(std::move(batches_.front()));
        batches_.pop_front();
    }
    return &job;
}

void ParallelExtraction::awaitRoom() {
    if (!full()) return;
    std::unique_lock lock(mutex_);
    await(*batches_[batches_.size() / 2], lock);
}

void ParallelExtraction::await(const Batch& batch, std::unique_lock<std::mutex>& lock) {
    awaited_ = &batch;
    finished_.wait(lock, [&batch] { return batch.partsUnderWay == 0; });
    awaited_ = nullptr;
}

CreatedItems ParallelExtraction::abandon() {
    filling_.reset();
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    turn_.notify_all();  // parts waiting for their turn to claim
    finished_.wait(lock, [this] { return underWay_ == 0; });
    // Jobs never started made nothing: their parts emptied their lists first.
    CreatedItems items;
    for (const auto& batch : batches_) {
        for (std::size_t index = batch->handedBack; index < batch->size; ++index) {
            auto& created = batch->jobs[index].created;
            std::move(created.begin(), created.end(), std::back_inserter(items));
        }
    }
    batches_.clear();
    return items;
}

}  // namespace marrowzip

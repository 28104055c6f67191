#include "marrowzip/filesystem/parallel_extraction.hpp"

#include <algorithm>
#include <iterator>

#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {
namespace {

constexpr std::size_t jobsPerWorker = 32;

}  // namespace

ParallelExtraction::ParallelExtraction(FileURL source, std::optional<std::string> pathEncoding,
                                       std::size_t workers, std::shared_ptr<MemoryBudget> budget,
                                       EntryWork work)
    : source_(std::move(source)),
      pathEncoding_(std::move(pathEncoding)),
      work_(std::move(work)),
      queueLimit_(workers * jobsPerWorker),
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
    return slots_.size() >= queueLimit_;
}

void ParallelExtraction::submit(EntryJob job) {
    auto slot = std::make_shared<Slot>();
    slot->job = std::move(job);
    {
        const std::lock_guard lock(mutex_);
        slots_.push_back(slot);
        ++underWay_;
    }
    pool_.submit([this, slot](std::size_t worker) { run(slot, worker); });
}

void ParallelExtraction::run(const std::shared_ptr<Slot>& slot, std::size_t worker) {
    {
        // A job queued behind the entry that ended the pass is not started: nothing of it is
        // to stay.
        const std::lock_guard lock(mutex_);
        slot->started = !abandoned_;
    }
    EntryOutcome outcome;
    CreatedItems created;
    if (slot->started) {
        try {
            std::optional<Archive>& archive = archives_[worker];
            if (!archive) {
                archive = Archive::openFile(source_, Archive::AccessMode::read, pathEncoding_);
                archive->shareMemoryBudget(budget_);
            }
            outcome = work_(*archive, slot->job, &created);
        } catch (...) {
            outcome.failure = std::current_exception();
        }
    }
    {
        const std::lock_guard lock(mutex_);
        slot->outcome = std::move(outcome);
        slot->created = std::move(created);
        slot->done = true;
        --underWay_;
    }
    changed_.notify_all();
}

std::optional<std::pair<EntryJob, EntryOutcome>> ParallelExtraction::next(bool wait) {
    std::unique_lock lock(mutex_);
    if (slots_.empty()) return std::nullopt;
    if (wait) changed_.wait(lock, [this] { return slots_.front()->done; });
    if (!slots_.front()->done) return std::nullopt;
    const std::shared_ptr<Slot> slot = std::move(slots_.front());
    slots_.pop_front();
    return std::pair{std::move(slot->job), std::move(slot->outcome)};
}

CreatedItems ParallelExtraction::abandon() {
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    changed_.wait(lock, [this] { return underWay_ == 0; });
    CreatedItems items;
    for (const auto& slot : slots_)
        std::move(slot->created.begin(), slot->created.end(), std::back_inserter(items));
    slots_.clear();
    return items;
}

}  // namespace marrowzip

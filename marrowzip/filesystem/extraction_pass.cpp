#include "marrowzip/filesystem/extraction_pass.hpp"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/extract_steps.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/filesystem/local_record_ranges.hpp"
#include "marrowzip/filesystem/parallel_extraction.hpp"
#include "marrowzip/processing/key_counts.hpp"
#include "marrowzip/processing/memory_budget.hpp"
#include "marrowzip/processing/positional_window.hpp"
#include "marrowzip/read/archive_reader.hpp"

namespace marrowzip {
namespace {

// Large files are read and written in pieces of 256 KiB: a fifth of the system time of 16 KiB
// pieces. Small ones keep small buffers, which cost less to set up for each entry.
std::int64_t chunkSizeFor(const Entry& entry) {
    constexpr std::uint64_t large = std::uint64_t{1} << 20;
    return entry.uncompressedSize() >= large ? std::int64_t{1} << 18 : defaultChunkSize;
}

// What reading an entry costs a worker, in bytes of data: making a file costs about as much
// as reading 16 KiB, making a folder (nothing written) a quarter of that, checking an entry
// without data next to nothing.
std::uint64_t workOf(const Entry& entry, bool makesItems) {
    constexpr std::uint64_t fileWork = std::uint64_t{16} << 10;
    constexpr std::uint64_t folderWork = std::uint64_t{4} << 10;
    constexpr std::uint64_t entryWork = std::uint64_t{1} << 10;
    const std::uint64_t item = entry.type() == EntryType::directory ? folderWork : fileWork;
    return entry.centralCompressedSize() + (makesItems ? item : entryWork);
}

// The path as the folder takes it: "" and "." components dropped, no slash at either end. It is
// `path` itself, less a slash at its end, when nothing else is to drop (the usual case), else
// built in `scratch`. None when a component is "..": only the kernel knows where that leads.
std::optional<std::string_view> tidyPath(std::string_view path, std::string& scratch) {
    bool tidy = !path.empty();
    for (std::size_t start = 0; tidy && start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        tidy = !component.empty() && component != "." && component != "..";
        start = end + 1;
    }
    if (tidy) return path.ends_with('/') ? path.substr(0, path.size() - 1) : path;
    scratch.clear();
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") return std::nullopt;
        if (!component.empty() && component != ".") {
            if (!scratch.empty()) scratch += '/';
            scratch.append(component);
        }
        start = end + 1;
    }
    return scratch;
}

// The paths of the jobs handed to the workers and not yet taken back, by hash. A run on one
// thread has every earlier entry done when it makes a folder or file; beside the workers, an
// entry's outcome is still the same unless an earlier job under way is a file at its path or
// above it, or it is a file at the path of an earlier item under way or above it (one makes
// the folders the other needs, or refuses them), or a file at its own path (the second of two
// files of one name is the one refused, or the one that stays). Folders at each other's paths,
// and an item below a folder, meet the same tree in either order: a folder is made when missing
// and accepted when there, whoever made it. So a file counts its own path as a file's and the
// paths above it as folders' (which it makes), a folder its own and those above it as folders'.
// Two paths of one hash only make a job wait.
class PathsUnderWay {
public:
    // `jobs`: how many may be under way at once.
    explicit PathsUnderWay(std::size_t jobs) : paths_(jobs) {}

    // Whether a job of `type` at `path` (tidy) may run beside those under way; if so it is
    // counted under way, until takeOldest().
    bool admit(EntryType type, std::string_view path) {
        const bool isFile = type != EntryType::directory;
        const std::size_t first = folderPrefixes_.size();
        const std::uint32_t hash = hashWithPrefixes(path, [&](std::uint32_t prefix) {
            folderPrefixes_.push_back(prefix);
        });
        if (!isFile) folderPrefixes_.push_back(hash);
        const std::size_t prefixes = folderPrefixes_.size() - first;
        const bool free =
            (!isFile || (paths_.count(hash, folder) == 0 && paths_.count(hash, file) == 0)) &&
            std::all_of(folderPrefixes_.begin() + static_cast<std::ptrdiff_t>(first),
                        folderPrefixes_.end(),
                        [&](std::uint32_t prefix) {
                            return paths_.count(prefix, file) == 0 &&
                                   paths_.count(prefix, folder) < KeyCounts::maxCount;
                        }) &&
            paths_.roomFor(prefixes + (isFile ? 1 : 0));
        if (!free) {
            folderPrefixes_.resize(first);
            return false;
        }
        for (std::size_t index = first; index < folderPrefixes_.size(); ++index)
            paths_.add(folderPrefixes_[index], folder);
        if (isFile) paths_.add(hash, file);
        jobs_.push_back({hash, static_cast<std::uint32_t>(prefixes), isFile});
        return true;
    }

    void takeOldest() {
        const Job job = jobs_.front();
        jobs_.pop_front();
        if (job.isFile) paths_.remove(job.hash, file);
        for (std::uint32_t index = 0; index < job.prefixes; ++index) {
            paths_.remove(folderPrefixes_.front(), folder);
            folderPrefixes_.pop_front();
        }
    }

private:
    struct Job {
        std::uint32_t hash;      // of its path
        std::uint32_t prefixes;  // counted as folders': those above it, and a folder's own
        bool isFile;
    };

    // The hash of `path`, after visit(hash) for each path above it ("a", then "a/b", for
    // "a/b/c"), in one pass: FNV-1a, whose state after a prefix is the prefix's hash, each
    // mixed at the end so that the low bits, which pick a slot, depend on every byte.
    template <typename Visit>
    static std::uint32_t hashWithPrefixes(std::string_view path, Visit&& visit) {
        constexpr std::uint32_t basis = 2166136261U;
        constexpr std::uint32_t prime = 16777619U;
        const auto mixed = [](std::uint32_t state) {
            state ^= state >> 16;
            state *= 0x85ebca6bU;
            state ^= state >> 13;
            return state;
        };
        std::uint32_t state = basis;
        for (std::size_t index = 0; index < path.size(); ++index) {
            if (path[index] == '/' && index != 0) visit(mixed(state));
            state = (state ^ static_cast<unsigned char>(path[index])) * prime;
        }
        return mixed(state);
    }

    // The paths of files under way, and of folders under way and the folders above either.
    static constexpr std::size_t file = 0;
    static constexpr std::size_t folder = 1;
    KeyCounts paths_;
    std::deque<Job> jobs_;                      // in archive order
    std::deque<std::uint32_t> folderPrefixes_;  // of the folders among them, in the same order
};

bool isCancellation(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        return error.code() == ArchiveError::cancelledOperation;
    } catch (...) {
        return false;
    }
}

// Reads one entry into the target and checks it. A folder has no data: bytes stored for one
// are ignored, as other readers do, and so is their checksum (the folder is what the entry
// stands for).
EntryOutcome readEntry(Archive& archive, const EntryJob& job, const ExtractTarget& target,
                       const ExtractOptions& options, CreatedItems* created) {
    const Entry& entry = job.entry;
    const ExtractEntryOptions read{.bufferSize = chunkSizeFor(entry),
                                   .skipChecksum = !options.verifyChecksum,
                                   .allowLinksOutside = options.allowLinksOutside,
                                   .progress = job.progress};
    EntryOutcome outcome;
    std::optional<std::uint32_t> checksum;
    if (target.folder != nullptr) {
        checksum = target.folder->extract(archive, entry, job.path, read, created, &outcome.folder);
        if (!checksum) return {.skipped = true};
    } else {
        const auto deliver = [&](ByteView bytes) {
            if (target.consumer) target.consumer(entry, bytes);
        };
        // A stream receives the data of files only.
        if (target.consumer && entry.type() != EntryType::file) return {};
        try {
            checksum = archive.extractEntry(entry, deliver, read);
        } catch (const Error& error) {
            throw error.withContext(archiveDisplayPath(archive), job.path);
        }
    }
    if (entry.type() == EntryType::directory && entry.centralCompressedSize() > 0) {
        outcome.warning =
            Warning{archiveDisplayPath(archive), job.path,
                    "the folder entry carries " + std::to_string(entry.centralCompressedSize()) +
                        " bytes of data, which were ignored"};
        return outcome;
    }
    if (options.verifyChecksum && *checksum != entry.checksum()) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "recorded %08" PRIx32 ", computed %08" PRIx32,
                      entry.checksum(), *checksum);
        throw Error(ArchiveError::invalidCRC32, archiveDisplayPath(archive), job.path, detail);
    }
    return outcome;
}

// The end of the pass before an entry whose local records cannot be read.
struct PassEnded {};

// The pass itself: entries are chosen and handed out on the caller's thread in archive order,
// claimed in the same order, read there or on the workers, and their outcomes taken back in
// archive order.
class Pass {
public:
    Pass(Archive& archive, const ExtractTarget& target, const ExtractOptions& options)
        : archive_(archive),
          target_(target),
          options_(options),
          displayPath_(archiveDisplayPath(archive)),
          entries_(archive.makeEntryIterator()),
          localRecords_(ArchiveAccess::reader(archive).stream()),
          localHeaderBytesLeft_(localHeaderAllowance(ArchiveAccess::reader(archive).endRecords())),
          ranges_(archive),
          steps_{.claim = [this](const EntryJob& job) { return claim(job); },
                 .work =
                     [this](Archive& reader, const EntryJob& job, CreatedItems* created) {
                         return readEntry(reader, job, target_, options_, created);
                     }} {
        const std::size_t workers =
            options.workers != 0 ? options.workers : std::thread::hardware_concurrency();
        budget_ = std::make_shared<MemoryBudget>(options.memoryBudget);
        archive.shareMemoryBudget(budget_);
        // A stream consumer takes the bytes in order, so it is served by one thread.
        if (workers > 1 && archive.url().isFileURL() && !target.consumer) workers_ = workers;
        entries_.leaveLocalRecords();
    }

    ExtractResult run() {
        try {
            readAll();
        } catch (const PassEnded&) {
            abandonLaterEntries();
        } catch (...) {
            abandonLaterEntries();
            if (!options_.onEntryError || !isCancellation(std::current_exception())) throw;
            result_.cancelled = true;
            return result_;
        }
        // The pass stops silently at a damaged record or an encrypted entry; the entries behind
        // it are missing, and that must not pass for a complete reading.
        if (entries_.endedEarly()) {
            if (!options_.onEntryError) throw entries_.earlyEndError(displayPath_);
            result_.endedEarly = entries_.earlyEndError(displayPath_);
        }
        return result_;
    }

private:
    void readAll() {
        // One job for every entry: an archive of many small entries is read without an
        // allocation for each. Once the workers are there, each entry is read into the slot of
        // the batch being filled, with the buffers of a job they finished before, and handed
        // to them where it is.
        EntryJob own;
        for (;;) {
            EntryJob& job = parallel_ ? parallel_->slot() : own;
            if (!entries_.next(job.entry)) break;
            job.index = entries_.entriesRead() - 1;
            if (options_.pathEncoding) {
                job.path = job.entry.pathUsingEncoding(*options_.pathEncoding);
            } else {
                job.entry.decodePath(job.path);
            }
            if (options_.filter && !options_.filter(job.entry, job.path)) continue;
            job.progress = options_.progress
                               ? options_.progress(job.entry, job.path, job.entry.progressUnits())
                               : nullptr;
            begin(job);
        }
        finishAll();
    }

    // In archive order, before any byte of the entry is read. The local headers must fit
    // before the central directory, else the pass ends here, as a pass over the directory
    // alone would. Each entry must have bytes of its own: shared local data would let a small
    // archive fill the disk many times over.
    bool claim(const EntryJob& job) {
        if (!takeLocalHeaderBytes(localHeaderBytesLeft_, job.entry.localFileHeader.length()))
            return false;
        ranges_.claim(job.entry, displayPath_, job.path);
        return true;
    }

    // Reads the entry here, or moves the job to the workers.
    void begin(EntryJob& job) {
        const bool cancelled = job.progress != nullptr && job.progress->isCancelled();
        // A test of an entry without data bytes, with nothing under way before it, is done here
        // at once: handing it to a worker costs more than reading it.
        const bool onWorker =
            workers_ > 1 && !cancelled &&
            (target_.folder == nullptr ? job.entry.centralCompressedSize() > 0 || !idle()
                                       : madeBesideOthers(job));
        if (onWorker) {
            // The workers start with the first entry they are given.
            if (!parallel_) startWorkers();
            parallel_->awaitRoom();
            while (parallel_->full())
                take(parallel_->next(true));
            const std::uint64_t work = workOf(job.entry, target_.folder != nullptr);
            parallel_->submit(job, work);  // in place when `job` is the slot
            while (auto* done = parallel_->next(false))
                take(done);
            return;
        }
        finishAll();
        if (target_.folder != nullptr && job.entry.type() == EntryType::symlink) linksMade_ = true;
        EntryOutcome outcome;
        if (cancelled) {
            outcome.failure = std::make_exception_ptr(Error(ArchiveError::cancelledOperation));
        } else if (EntrySteps::locate(localRecords_, job, outcome, true) &&
                   steps_.claimed(job, outcome)) {
            steps_.read(archive_, localRecords_, job, outcome, nullptr);
        }
        settle(job, outcome);
    }

    bool idle() const { return !parallel_ || parallel_->idle(); }

    void startWorkers() {
        parallel_.emplace(archive_.url(), options_.pathEncoding, workers_, budget_, steps_);
        if (target_.folder != nullptr) underWay_.emplace(parallel_->jobsAtMost());
    }

    // Whether the entry's item may be made on a worker beside the jobs under way, so that its
    // path meets the tree a run on one thread would have built by then (else it waits for them
    // all). Links, and paths through "..", wait: where they lead is not in the text, so once
    // the pass has made a link, folders wait too.
    bool madeBesideOthers(const EntryJob& job) {
        const EntryType type = job.entry.type();
        if (type == EntryType::symlink || (type == EntryType::directory && linksMade_))
            return false;
        const std::optional<std::string_view> tidy = tidyPath(job.path, tidyPath_);
        if (!tidy) return false;
        if (!parallel_) startWorkers();
        return underWay_->admit(type, *tidy);
    }

    void finishAll() {
        if (!parallel_) return;
        parallel_->flush();
        while (auto* done = parallel_->next(true))
            take(done);
    }

    void take(ParallelExtraction::Job* done) {
        if (done == nullptr) return;
        // The failure is taken out of the job: its batch may be freed by the worker that ran
        // it, and the exception is then released by this thread alone, which reads it.
        EntryOutcome outcome = std::move(done->outcome);
        done->outcome.failure = nullptr;
        if (underWay_) underWay_->takeOldest();
        settle(done->job, outcome);
    }

    // One outcome, in archive order.
    void settle(const EntryJob& job, EntryOutcome& outcome) {
        if (outcome.endsPass) {
            entries_.endBefore(job.index);
            throw PassEnded{};
        }
        if (outcome.failure) {
            // The entry is over, for the progress shown too.
            if (job.progress != nullptr) {
                job.progress->setCompletedUnitCount(job.progress->totalUnitCount());
            }
            if (!options_.onEntryError || isCancellation(outcome.failure)) {
                std::rethrow_exception(outcome.failure);
            }
            try {
                std::rethrow_exception(outcome.failure);
            } catch (const Error& error) {
                // The handler may end the pass by throwing; anything but an Error ends it.
                options_.onEntryError(job.entry, job.path, error);
            }
            ++result_.failed;
            return;
        }
        if (outcome.skipped) {
            ++result_.skipped;
            return;
        }
        ++result_.extracted;
        if (outcome.folder) target_.folder->finishLater(std::move(*outcome.folder));
        if (outcome.warning && options_.warn) options_.warn(*outcome.warning);
    }

    // The pass ends at the entry last settled: what the workers made for later entries goes
    // again, as it would never have been made on one thread.
    void abandonLaterEntries() {
        if (!parallel_) return;
        CreatedItems later = parallel_->abandon();
        if (target_.folder != nullptr) target_.folder->removeCreated(std::move(later));
    }

    Archive& archive_;
    const ExtractTarget& target_;
    const ExtractOptions& options_;
    const std::string displayPath_;  // the archive's, for errors
    EntryIterator entries_;          // over the central records alone
    PositionalWindow localRecords_;  // of the entries read on this thread
    // What the claims take from and add to: the bytes of local headers left to read, the
    // ranges of the local records.
    std::uint64_t localHeaderBytesLeft_;
    LocalRecordRanges ranges_;
    EntrySteps steps_;
    ExtractResult result_;
    std::shared_ptr<MemoryBudget> budget_;   // shared by the workers' archives
    std::size_t workers_ = 0;                // more than one: entries may go to workers
    std::optional<PathsUnderWay> underWay_;  // with workers and a folder
    std::string tidyPath_;                   // the last entry's, when not its own path
    bool linksMade_ = false;
    std::optional<ParallelExtraction> parallel_;  // last: its workers stop first
};

}  // namespace

ExtractResult extractEntries(Archive& archive, const ExtractTarget& target,
                             const ExtractOptions& options) {
    return Pass(archive, target, options).run();
}

std::function<Progress*(const Entry&, const std::string&, std::int64_t)> childProgressOf(
    Progress& parent) {
    // The parent keeps its children alive. Entries without units (empty files) share one
    // child: nothing they do moves a count, so a child each would only cost an allocation and
    // grow the parent's list by one for every such entry. So do all entries while the parent has
    // no total: its fraction is then nothing that their counts could move. The shared child
    // still carries the parent's cancellation.
    return [&parent, unitless = static_cast<Progress*>(nullptr)](const Entry&, const std::string&,
                                                                 std::int64_t units) mutable {
        if (units != 0 && parent.totalUnitCount() > 0) return parent.makeChild(units, units).get();
        if (unitless == nullptr) unitless = parent.makeChild(0, 0).get();
        return unitless;
    };
}

}  // namespace marrowzip

#include "marrowzip/filesystem/extraction_pass.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/extract_steps.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/filesystem/local_record_ranges.hpp"
#include "marrowzip/filesystem/parallel_extraction.hpp"
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

// What reading an entry costs a worker, in bytes of data: making an item costs about as much
// as reading 16 KiB, checking an entry without data next to nothing.
std::uint64_t workOf(const Entry& entry, bool makesItems) {
    constexpr std::uint64_t itemWork = std::uint64_t{16} << 10;
    constexpr std::uint64_t entryWork = std::uint64_t{1} << 10;
    return entry.centralCompressedSize() + (makesItems ? itemWork : entryWork);
}

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
    std::optional<std::uint32_t> checksum;
    if (target.folder != nullptr) {
        checksum = target.folder->extract(archive, entry, job.path, read, created);
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
        return {.warning = Warning{archiveDisplayPath(archive), job.path,
                                   "the folder entry carries " +
                                       std::to_string(entry.centralCompressedSize()) +
                                       " bytes of data, which were ignored"}};
    }
    if (options.verifyChecksum && *checksum != entry.checksum()) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "recorded %08" PRIx32 ", computed %08" PRIx32,
                      entry.checksum(), *checksum);
        throw Error(ArchiveError::invalidCRC32, archiveDisplayPath(archive), job.path, detail);
    }
    return {};
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
        // allocation for each. A job handed to the workers comes back with the buffers of one
        // they finished before.
        EntryJob job;
        while (entries_.next(job.entry)) {
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
        // Folders and links wait for the files before them, so that every path meets the tree
        // a run on one thread would have built by then; a test builds nothing. A test of an
        // entry without data bytes, with nothing under way before it, is done here at once:
        // handing it to a worker costs more than reading it.
        const bool onWorker =
            workers_ > 1 && !cancelled &&
            (target_.folder == nullptr ? job.entry.centralCompressedSize() > 0 || !idle()
                                       : job.entry.type() == EntryType::file);
        if (onWorker) {
            // The workers start with the first entry they are given.
            if (!parallel_) {
                parallel_.emplace(archive_.url(), options_.pathEncoding, workers_, budget_, steps_);
            }
            while (parallel_->full())
                take(parallel_->next(true));
            const std::uint64_t work = workOf(job.entry, target_.folder != nullptr);
            parallel_->submit(job, work);
            while (auto* done = parallel_->next(false))
                take(done);
            return;
        }
        finishAll();
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
        settle(done->job, outcome);
    }

    // One outcome, in archive order.
    void settle(const EntryJob& job, const EntryOutcome& outcome) {
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
    std::shared_ptr<MemoryBudget> budget_;        // shared by the workers' archives
    std::size_t workers_ = 0;                     // more than one: entries may go to workers
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

// Bulk appends: a run of appends that writes the central directory once, at its end, instead of
// after every entry.
#include <cstdio>
#include <exception>

#include "marrowzip/write/bulk_state.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

Archive::BulkAppend Archive::beginBulkAppend(std::int64_t bufferSize,
                                             const BulkOptions& options) {
    const std::string archivePath = url_.displayPath();
    if (accessMode_ == AccessMode::read) throw Error(ArchiveError::unwritableArchive, archivePath);
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    if (bulkLink_.state) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "a bulk append is already open on this archive");
    }
    if (options.level < fastestCompressionLevel || options.level > smallestCompressionLevel) {
        throw Error(ArchiveError::invalidCompressionMethod, archivePath, {},
                    "no compression level " + std::to_string(options.level));
    }
    auto state = std::make_shared<BulkState>(options.level);
    state->archive = this;
    state->bufferSize = bufferSize;
    state->queue = makeBulkQueue(options);
    state->storeIfNotSmaller = options.storeIfNotSmaller;
    state->allOrNothing = options.allOrNothing;
    bulkLink_.state = state;
    return BulkAppend(std::move(state));
}

void Archive::appendInBulk(BulkState& bulk, const PendingEntry& entry, std::int64_t bufferSize,
                           Progress* progress, const EntrySource& source) {
    if (bulk.queue) {
        if (entry.type != EntryType::file || entry.uncompressedSize == 0) {
            queueReadyInBulk(bulk, entry, bufferSize, progress, source);
            return;
        }
        // A provider is called on this thread, once what was queued before it is written.
        writeQueuedEntries(bulk, QueueWrite::all);
    }
    const std::string archivePath = url_.displayPath();
    if (bulk.directoryOnDisk) {
        try {
            bulk.nextOffset = beginOverwritingDirectory(bufferSize);
        } catch (const Error& error) {
            throw error.withContext(archivePath, entry.path);
        }
    }
    const std::uint64_t headerOffset = bulk.nextOffset;
    bulk.directoryOnDisk = false;  // the entry overwrites it
    try {
        const WrittenEntry written =
            writeEntry(headerOffset, entry, bufferSize, progress, source, bulk.coders);
        const Bytes record = written.record.serialize();
        bulk.addedRecords.insert(bulk.addedRecords.end(), record.begin(), record.end());
        ++bulk.addedCount;
        bulk.nextOffset = written.end;
    } catch (const Error& error) {
        throw error.withContext(archivePath, entry.path);
    }
}

Archive::BulkFailureGuard::~BulkFailureGuard() {
    if (std::uncaught_exceptions() > exceptions) archive.writeBulkDirectoryAfterFailure();
}

void Archive::writeBulkDirectoryAfterFailure() noexcept {
    const std::shared_ptr<BulkState> bulk = bulkLink_.state;
    if (!bulk || bulk->directoryOnDisk) return;
    // The failed entry is overwritten by the directory of the entries before it, so that the
    // file is a valid archive when the caller sees the error, whatever it does next. A write
    // error's buffered bytes are gone with the failed flush, and the stream's error flag must
    // not fail the writes below.
    std::fflush(archiveFile_.get());
    std::clearerr(archiveFile_.get());
    try {
        if (bulk->allOrNothing) {
            abandonBulkEntries(*bulk);
        } else {
            writeBulkDirectory(*bulk);
        }
    } catch (...) {
        bulk->deferredError = std::current_exception();  // the caller sees the first error now
    }
}

void Archive::abandonBulkEntries(BulkState& bulk) {
    if (bulk.directoryOnDisk) return;
    // The directory on disk has not been written since the bulk append began: the cached one
    // is the archive's state before it.
    const CentralDirectoryCache& saved = *centralDirectoryCache_;
    bulk.addedRecords = Bytes();
    bulk.addedCount = 0;
    bulk.nextOffset = saved.offset;
    rollbackAppend(saved.offset, saved, bulk.bufferSize);
    bulk.directoryOnDisk = true;
    endOverwritingDirectory();
}

void Archive::writeBulkDirectory(BulkState& bulk) {
    if (bulk.directoryOnDisk) return;
    const std::uint64_t start = bulk.nextOffset;
    try {
        seekStream(archiveFile_.get(), start);
        WrittenEndRecords written = writeCentralDirectoryAndEndRecords(
            start, bulk.addedRecords, bulk.addedCount, bulk.bufferSize);
        truncateArchive(start + centralDirectoryCache_->records.size() + bulk.addedRecords.size() +
                        written.bytes.size());
        adoptWrittenDirectory(start, bulk.addedRecords, std::move(written));
        endOverwritingDirectory();
    } catch (...) {
        // Without their directory the new entries cannot be kept (a full disk, most likely):
        // cutting them off frees their space for the directory as it was before them.
        const CentralDirectoryCache& saved = *centralDirectoryCache_;
        bulk.addedRecords.clear();
        bulk.addedCount = 0;
        bulk.nextOffset = saved.offset;
        rollbackAppend(saved.offset, saved, bulk.bufferSize);
        bulk.directoryOnDisk = true;
        endOverwritingDirectory();
        throw;
    }
    bulk.addedRecords = Bytes();
    bulk.addedCount = 0;
    bulk.directoryOnDisk = true;
}

void Archive::endBulkAppend(bool keep) {
    if (!bulkLink_.state) return;
    const std::shared_ptr<BulkState> bulk = bulkLink_.state;
    std::exception_ptr queueError;
    if (bulk->allOrNothing && !keep) {
        // Nothing of the run stays: the queue is dropped unwritten.
        bulk->queue.reset();
        bulkLink_.state.reset();
        bulk->archive = nullptr;
        std::fflush(archiveFile_.get());
        std::clearerr(archiveFile_.get());
        try {
            abandonBulkEntries(*bulk);
        } catch (const Error& error) {
            throw error.withContext(url_.displayPath());
        }
        return;
    }
    if (bulk->queue) {
        try {
            writeQueuedEntries(*bulk, QueueWrite::all);
        } catch (...) {
            queueError = std::current_exception();
        }
    }
    // The entries behind a failed one are dropped with the rest of the queue.
    bulk->queue.reset();
    bulkLink_.state.reset();
    bulk->archive = nullptr;
    try {
        if (bulk->allOrNothing && queueError) {
            abandonBulkEntries(*bulk);
        } else {
            writeBulkDirectory(*bulk);
        }
    } catch (const Error& error) {
        if (!queueError) throw error.withContext(url_.displayPath());
    }
    if (queueError) std::rethrow_exception(queueError);
}

void Archive::endBulkAppendKeepingError() noexcept {
    if (!bulkLink_.state) return;
    const std::shared_ptr<BulkState> bulk = bulkLink_.state;
    try {
        endBulkAppend(false);
    } catch (...) {
        bulk->deferredError = std::current_exception();
    }
}

void Archive::refuseDuringBulkAppend(const char* operation) const {
    if (bulkLink_.state) {
        throw Error(ArchiveError::unwritableArchive, url_.displayPath(), {},
                    std::string(operation) + " is not possible while a bulk append is open");
    }
}

// ---- The handle and the archive's link ----

Archive::BulkAppend& Archive::BulkAppend::operator=(BulkAppend&& other) noexcept {
    if (this != &other) {
        if (state_ && state_->archive != nullptr) state_->archive->endBulkAppendKeepingError();
        state_ = std::move(other.state_);
    }
    return *this;
}

Archive::BulkAppend::~BulkAppend() {
    if (state_ && state_->archive != nullptr) state_->archive->endBulkAppendKeepingError();
}

void Archive::BulkAppend::finish() {
    if (!state_) return;
    const std::shared_ptr<BulkState> state = std::move(state_);
    state_.reset();
    if (state->archive != nullptr) state->archive->endBulkAppend();
    if (state->deferredError) std::rethrow_exception(state->deferredError);
}

bool Archive::BulkAppend::isOpen() const noexcept {
    return state_ && state_->archive != nullptr;
}

Archive::BulkLink::BulkLink(BulkLink&& other) noexcept {
    // `other` belongs to the archive being moved from, whose members have not moved yet.
    if (other.state && other.state->archive != nullptr) {
        other.state->archive->endBulkAppendKeepingError();
    }
}

Archive::BulkLink& Archive::BulkLink::operator=(BulkLink&& other) noexcept {
    if (this != &other) {
        if (state && state->archive != nullptr) state->archive->endBulkAppendKeepingError();
        if (other.state && other.state->archive != nullptr) {
            other.state->archive->endBulkAppendKeepingError();
        }
    }
    return *this;
}

}  // namespace marrowzip

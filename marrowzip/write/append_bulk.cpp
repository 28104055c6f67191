// Bulk appends: a run of appends that writes the central directory once, at its end, instead of
// after every entry.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "marrowzip/write/bulk_state.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

std::shared_ptr<BulkState> ArchiveWriter::beginBulkAppend(std::int64_t bufferSize,
                                                          const BulkOptions& options) {
    const std::string archivePath = archivePathForErrors();
    if (reader_.accessMode_ == AccessMode::read)
        throw Error(ArchiveError::unwritableArchive, archivePath);
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    if (bulk_) {
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
    // The records of a large tree grow in place, without the copies of a vector that doubles;
    // pages of the reservation that are never written cost no memory.
    state->addedRecords.reserve(std::size_t{8} << 20);
    state->storeIfNotSmaller = options.storeIfNotSmaller;
    state->allOrNothing = options.allOrNothing;
    bulk_ = state;
    reader_.directoryOverwritten_ = true;
    return state;
}

void ArchiveWriter::appendInBulk(BulkState& bulk, const PendingEntry& entry,
                                 std::int64_t bufferSize, Progress* progress,
                                 const EntrySource& source) {
    if (bulk.queue) {
        if (entry.type != EntryType::file || entry.uncompressedSize == 0) {
            queueReadyInBulk(bulk, entry, bufferSize, progress, source);
            return;
        }
        // A provider is called on this thread, once what was queued before it is written.
        writeQueuedEntries(bulk, QueueWrite::all);
    }
    const std::string archivePath = archivePathForErrors();
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
        const WrittenEntry written = writeEntry(headerOffset, entry, bufferSize, progress, source,
                                                bulk.coders, bulk.storeIfNotSmaller);
        const Bytes record = written.record.serialize();
        bulk.addedRecords.insert(bulk.addedRecords.end(), record.begin(), record.end());
        ++bulk.addedCount;
        bulk.nextOffset = written.end;
    } catch (const Error& error) {
        throw error.withContext(archivePath, entry.path);
    }
    startWriteback(bulk);
}

void ArchiveWriter::startWriteback(BulkState& bulk) noexcept {
    constexpr std::uint64_t step = std::uint64_t{8} << 20;
    // Only a run that ends with a sync (see endOverwritingDirectory) gains by it.
    if (!journalOpen_ || bulk.nextOffset < bulk.writebackFrom + step) return;
    // A hint: an error is the sync's to report. The bytes still in the stream's buffer are
    // taken by the next range, which starts a buffer's length back.
    ::sync_file_range(::fileno(reader_.archiveFile_.get()), static_cast<off_t>(bulk.writebackFrom),
                      static_cast<off_t>(bulk.nextOffset - bulk.writebackFrom),
                      SYNC_FILE_RANGE_WRITE);
    bulk.writebackFrom =
        bulk.nextOffset - std::min<std::uint64_t>(bulk.nextOffset, std::uint64_t{256} << 10);
}

ArchiveWriter::BulkFailureGuard::~BulkFailureGuard() {
    if (std::uncaught_exceptions() > exceptions) archive.writeBulkDirectoryAfterFailure();
}

void ArchiveWriter::writeBulkDirectoryAfterFailure() noexcept {
    const std::shared_ptr<BulkState> bulk = bulk_;
    if (!bulk || bulk->directoryOnDisk) return;
    // The failed entry is overwritten by the directory of the entries before it, so that the
    // file is a valid archive when the caller sees the error, whatever it does next. A write
    // error's buffered bytes are gone with the failed flush, and the stream's error flag must
    // not fail the writes below.
    std::fflush(reader_.archiveFile_.get());
    std::clearerr(reader_.archiveFile_.get());
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

void ArchiveWriter::abandonBulkEntries(BulkState& bulk) {
    if (bulk.directoryOnDisk) return;
    // The directory on disk has not been written since the bulk append began: the cached one
    // is the archive's state before it.
    if (bulk.queue) {
        // Nothing placed is written any more, and nothing on its way lands after the cut.
        BulkQueue& queue = *bulk.queue;
        queue.placing = PlacedRun();
        std::unique_lock lock(queue.mutex);
        queue.writeDone.wait(lock, [&] { return queue.writes == 0; });
        queue.placedFailure.reset();
    }
    const CentralDirectoryCache& saved = *centralDirectoryCache_;
    bulk.addedRecords = Bytes();
    bulk.addedCount = 0;
    bulk.nextOffset = saved.offset;
    rollbackAppend(saved.offset, saved, bulk.bufferSize);
    bulk.directoryOnDisk = true;
    endOverwritingDirectory();
}

void ArchiveWriter::writeBulkDirectory(BulkState& bulk) {
    if (bulk.directoryOnDisk) return;
    try {
        settlePlacedWrites(bulk);
        const std::uint64_t start = bulk.nextOffset;
        seekStream(reader_.archiveFile_.get(), start);
        WrittenEndRecords written = writeCentralDirectoryAndEndRecords(
            start, bulk.addedRecords, bulk.addedCount, bulk.bufferSize);
        truncateArchive(start + centralDirectoryCache_->records.size() + bulk.addedRecords.size() +
                        written.bytes.size());
        adoptWrittenDirectory(start, std::move(bulk.addedRecords), std::move(written));
        endOverwritingDirectory();
    } catch (...) {
        // Without their directory the new entries cannot be kept (a full disk, most likely):
        // cutting them off frees their space for the directory as it was before them.
        abandonBulkEntries(bulk);
        throw;
    }
    bulk.addedRecords = Bytes();
    bulk.addedCount = 0;
    bulk.directoryOnDisk = true;
}

void ArchiveWriter::endBulkAppend(bool keep) {
    if (!bulk_) return;
    const std::shared_ptr<BulkState> bulk = bulk_;
    std::exception_ptr queueError;
    if (bulk->allOrNothing && !keep) {
        // Nothing of the run stays: the queue is dropped unwritten.
        bulk->queue.reset();
        bulk_.reset();
        reader_.directoryOverwritten_ = false;
        bulk->archive = nullptr;
        std::fflush(reader_.archiveFile_.get());
        std::clearerr(reader_.archiveFile_.get());
        try {
            abandonBulkEntries(*bulk);
        } catch (const Error& error) {
            throw error.withContext(archivePathForErrors());
        }
        return;
    }
    if (bulk->queue) {
        try {
            writeQueuedEntries(*bulk, QueueWrite::all);
        } catch (...) {
            queueError = std::current_exception();
        }
        // What was placed before a failed entry stays, and must be on disk before the queue
        // (and its workers) go.
        try {
            settlePlacedWrites(*bulk);
        } catch (...) {
            if (!queueError) queueError = std::current_exception();
        }
    }
    // The entries behind a failed one are dropped with the rest of the queue.
    bulk->queue.reset();
    bulk_.reset();
    reader_.directoryOverwritten_ = false;
    bulk->archive = nullptr;
    try {
        if (bulk->allOrNothing && queueError) {
            abandonBulkEntries(*bulk);
        } else {
            writeBulkDirectory(*bulk);
        }
    } catch (const Error& error) {
        if (!queueError) throw error.withContext(archivePathForErrors());
    }
    if (queueError) std::rethrow_exception(queueError);
}

void ArchiveWriter::endBulkAppendKeepingError() noexcept {
    if (!bulk_) return;
    const std::shared_ptr<BulkState> bulk = bulk_;
    try {
        endBulkAppend(false);
    } catch (...) {
        bulk->deferredError = std::current_exception();
    }
}

void ArchiveWriter::refuseDuringBulkAppend(const char* operation) const {
    if (bulk_) {
        throw Error(ArchiveError::unwritableArchive, archivePathForErrors(), {},
                    std::string(operation) + " is not possible while a bulk append is open");
    }
}

}  // namespace marrowzip

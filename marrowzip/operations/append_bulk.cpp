// Bulk appends: a run of appends that writes the central directory once, at its end, instead of
// after every entry. The state lives in one object shared by the archive and the BulkAppend
// handle, so that whichever of the two goes first ends the run and the other finds it ended.
#include <cstdio>
#include <exception>

#include "marrowzip/container/archive.hpp"
#include "marrowzip/operations/append_coders.hpp"
#include "marrowzip/operations/stream_position.hpp"

namespace marrowzip {

struct Archive::BulkState {
    Archive* archive = nullptr;  // null once the run has ended
    std::int64_t bufferSize = defaultChunkSize;
    // The central directory headers of the entries written since the directory was last
    // written, serialized, and where the next local record goes (right behind their data).
    Bytes addedRecords;
    std::uint64_t addedCount = 0;
    std::uint64_t nextOffset = 0;
    // Whether the stream ends with a complete directory and end records: true before the first
    // entry and after a failed one; the cached directory is then the one on disk.
    bool directoryOnDisk = true;
    AppendCoders coders;
    // An error met when the run was ended by the archive's move or destruction, for finish().
    std::exception_ptr deferredError;
};

Archive::BulkAppend Archive::beginBulkAppend(std::int64_t bufferSize) {
    const std::string archivePath = archivePathForErrors();
    if (accessMode_ == AccessMode::read) throw Error(ArchiveError::unwritableArchive, archivePath);
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    if (bulkLink_.state) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "a bulk append is already open on this archive");
    }
    auto state = std::make_shared<BulkState>();
    state->archive = this;
    state->bufferSize = bufferSize;
    bulkLink_.state = state;
    return BulkAppend(std::move(state));
}

void Archive::appendInBulk(BulkState& bulk, const PendingEntry& entry, std::int64_t bufferSize,
                           Progress* progress, const EntrySource& source) {
    const std::string archivePath = archivePathForErrors();
    if (bulk.directoryOnDisk) {
        try {
            bulk.nextOffset = loadCentralDirectory(bufferSize).offset;
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
        writeBulkDirectory(*bulk);
    } catch (...) {
        bulk->deferredError = std::current_exception();  // the caller sees the first error now
    }
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
    } catch (...) {
        // Without their directory the new entries cannot be kept (a full disk, most likely):
        // cutting them off frees their space for the directory as it was before them.
        const CentralDirectoryCache& saved = *centralDirectoryCache_;
        bulk.addedRecords.clear();
        bulk.addedCount = 0;
        bulk.nextOffset = saved.offset;
        rollbackAppend(saved.offset, saved, bulk.bufferSize);
        bulk.directoryOnDisk = true;
        throw;
    }
    bulk.addedRecords = Bytes();
    bulk.addedCount = 0;
    bulk.directoryOnDisk = true;
}

void Archive::endBulkAppend() {
    if (!bulkLink_.state) return;
    const std::shared_ptr<BulkState> bulk = std::move(bulkLink_.state);
    bulkLink_.state.reset();
    bulk->archive = nullptr;
    try {
        writeBulkDirectory(*bulk);
    } catch (const Error& error) {
        throw error.withContext(archivePathForErrors());
    }
}

void Archive::endBulkAppendKeepingError() noexcept {
    if (!bulkLink_.state) return;
    const std::shared_ptr<BulkState> bulk = bulkLink_.state;
    try {
        endBulkAppend();
    } catch (...) {
        bulk->deferredError = std::current_exception();
    }
}

void Archive::refuseDuringBulkAppend(const char* operation) const {
    if (bulkLink_.state) {
        throw Error(ArchiveError::unwritableArchive, archivePathForErrors(), {},
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

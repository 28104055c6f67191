// What an update checks before it writes anything, and the journal that covers it while it
// overwrites the archive's central directory and end records.
#include <unistd.h>

#include <cerrno>

#include "marrowzip/format/update_journal.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {
namespace {

constexpr std::uint64_t zip64EndRecordsSize =
    ZIP64EndOfCentralDirectoryRecord::fixedSize + ZIP64EndOfCentralDirectoryLocator::fixedSize;

}  // namespace

void ArchiveWriter::ensureReadableWhole(const char* operation) const {
    const std::string archivePath = archivePathForErrors();
    const auto refuse = [&](const std::string& why) {
        return Error(
            ArchiveError::invalidCentralDirectoryOffset, archivePath, {},
            "refusing to " + std::string(operation) + ": " + why + "; the file is left unchanged");
    };
    std::FILE* stream = reader_.archiveFile_.get();
    if (std::fflush(stream) != 0 || ::fseeko(stream, 0, SEEK_END) != 0) {
        throw Error(DataError::unreadableFile, archivePath);
    }
    const auto length = static_cast<std::uint64_t>(::ftello(stream));

    // The end records close the file: [ZIP64 record, locator,] end record and its comment.
    const std::uint64_t endRecordLength =
        EndOfCentralDirectoryRecord::fixedSize + reader_.endRecords_.endRecord.zipFileCommentLength;
    const std::uint64_t tailLength =
        endRecordLength + (reader_.endRecords_.zip64EndRecords ? zip64EndRecordsSize : 0);
    if (length < tailLength) throw refuse("its end records do not lie at its end");
    const std::uint64_t endRecordsStart = length - tailLength;
    const auto endRecord =
        readRecord<EndOfCentralDirectoryRecord>(stream, length - endRecordLength);
    if (!endRecord || *endRecord != reader_.endRecords_.endRecord) {
        throw refuse("data follows its end records (is it part of another file?)");
    }
    const std::uint64_t start = reader_.endRecords().offsetToStartOfCentralDirectory();
    const std::uint64_t size = reader_.endRecords().sizeOfCentralDirectory();
    if (start > endRecordsStart || size != endRecordsStart - start) {
        throw refuse(
            "its central directory is not where its end records say (data before the archive "
            "whose offsets were not adjusted, or a damaged archive)");
    }

    std::uint64_t recordBytes = 0;
    // Also at the start of a bulk append, whose first entry has not overwritten the directory.
    EntryIterator iterator = reader_.passOverDirectory();
    while (auto entry = iterator.next()) {
        recordBytes += entry->centralDirectoryStructure.length();
        const std::uint64_t offset = entry->localHeaderOffset();
        if (offset > start || entry->localRecordLength() > start - offset) {
            throw refuse("the entry " + entry->path() + " runs into the central directory");
        }
    }
    if (iterator.endedEarly()) {
        throw refuse(iterator.stoppedAtEncryptedEntry()
                         ? "it holds an encrypted entry"
                         : "its central directory ends before the entries its end records count");
    }
    if (recordBytes != size) {
        throw refuse("its central directory records do not fill the size its end records give");
    }
}

std::uint64_t ArchiveWriter::beginOverwritingDirectory(std::int64_t bufferSize) {
    const std::uint64_t offset = loadCentralDirectory(bufferSize).offset;
    if (reader_.memoryFile_ || journalOpen_) return offset;
    if (std::fflush(reader_.archiveFile_.get()) != 0) {
        throw writeFailure(archivePathForErrors());
    }
    writeJournal(reader_.journalKey_, ::fileno(reader_.archiveFile_.get()), offset);
    journalOpen_ = true;
    return offset;
}

void ArchiveWriter::endOverwritingDirectory() {
    if (!journalOpen_) return;
    const std::string archivePath = archivePathForErrors();
    if (std::fflush(reader_.archiveFile_.get()) != 0) throw writeFailure(archivePath);
    if (::fsync(::fileno(reader_.archiveFile_.get())) != 0)
        throw posixFileError(errno, archivePath);
    removeJournal(reader_.journalKey_);
    journalOpen_ = false;
}

}  // namespace marrowzip

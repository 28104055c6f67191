// The records an append writes: the new entry's local and central headers, and the central
// directory with its end records.
#include <algorithm>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {
namespace {

template <typename Field>
Field saturated(std::uint64_t value, std::uint64_t limit) {
    return static_cast<Field>(std::min(value, limit));
}

// ZIP64 end records that keep what an earlier writer's said of disks and versions; the totals
// are the caller's to set.
ZIP64EndOfCentralDirectory zip64EndRecordsKeeping(
    const std::optional<ZIP64EndOfCentralDirectory>& existing) {
    ZIP64EndOfCentralDirectory records = existing.value_or(ZIP64EndOfCentralDirectory{});
    records.record.versionNeededToExtract =
        std::max(records.record.versionNeededToExtract, versionNeededZIP64);
    // No extensible data sector is ever written, so the record is always 44 bytes after its
    // size field, whatever an earlier writer's record claimed.
    records.record.zip64ExtensibleDataSector.clear();
    records.record.sizeOfZIP64EndOfCentralDirectoryRecord = 44;
    return records;
}

}  // namespace

LocalFileHeader ArchiveWriter::writeLocalFileHeader(const PendingEntry& entry,
                                                    std::uint64_t compressedSize,
                                                    std::uint32_t crc32) {
    LocalFileHeader header = makeLocalFileHeader(entry, compressedSize, crc32);
    writeStreamChunk(header.serialize(), reader_.archiveFile_.get());
    return header;
}

LocalFileHeader ArchiveWriter::makeLocalFileHeader(const PendingEntry& entry,
                                                   std::uint64_t compressedSize,
                                                   std::uint32_t crc32) {
    LocalFileHeader header;
    header.versionNeededToExtract = entry.zip64Sizes ? versionNeededZIP64 : versionNeededDefault;
    header.generalPurposeBitFlag = utf8NameFlag;
    header.compressionMethod = static_cast<std::uint16_t>(entry.compressionMethod);
    header.lastModFileTime = entry.lastModFileTime;
    header.lastModFileDate = entry.lastModFileDate;
    header.crc32 = crc32;
    std::optional<ZIP64ExtendedInformation> zip64;
    if (entry.zip64Sizes) {
        // Both sizes always (the declared size is never 0 here), so that the first and the
        // second write have the same length.
        header.compressedSize = sentinel32;
        header.uncompressedSize = sentinel32;
        zip64 = ZIP64ExtendedInformation::carrying(
            {.uncompressedSize = entry.uncompressedSize, .compressedSize = compressedSize});
    } else {
        header.compressedSize = static_cast<std::uint32_t>(compressedSize);
        header.uncompressedSize = static_cast<std::uint32_t>(entry.uncompressedSize);
    }
    header.extraFieldData = extraFieldOfNewHeader(zip64, entry.timestamp);
    header.zip64Block = zip64;
    header.fileNameData.assign(entry.path.begin(), entry.path.end());
    header.fileNameLength = static_cast<std::uint16_t>(header.fileNameData.size());
    header.extraFieldLength = static_cast<std::uint16_t>(header.extraFieldData.size());
    return header;
}

CentralDirectoryStructure ArchiveWriter::makeCentralDirectoryRecord(const LocalFileHeader& header,
                                                                    std::uint64_t relativeOffset,
                                                                    const PendingEntry& entry) {
    const ZIP64ExtendedInformation sizes = header.zip64Block.value_or(ZIP64ExtendedInformation{});
    const auto zip64 = ZIP64ExtendedInformation::carrying(
        {.uncompressedSize = sizes.uncompressedSize,
         .compressedSize = sizes.compressedSize,
         .relativeOffsetOfLocalHeader = relativeOffset >= sentinel32 ? relativeOffset : 0});
    // The central header carries the same timestamp block as the local one: the modification
    // time alone.
    return CentralDirectoryStructure::fromLocalFileHeader(
        header, entry.externalFileAttributes, relativeOffset,
        extraFieldOfNewHeader(zip64, entry.timestamp));
}

ArchiveWriter::WrittenEndRecords ArchiveWriter::writeCentralDirectoryAndEndRecords(
    std::uint64_t start, ByteView addedRecords, std::uint64_t addedCount, std::int64_t bufferSize) {
    const CentralDirectoryCache& cache = *centralDirectoryCache_;
    std::FILE* stream = reader_.archiveFile_.get();
    const std::uint64_t oldCount = reader_.endRecords_.totalNumberOfEntries();
    const std::uint64_t oldSize = reader_.endRecords_.sizeOfCentralDirectory();
    if (oldSize > UINT64_MAX - addedRecords.size()) {
        throw Error(ArchiveError::invalidCentralDirectorySize);
    }
    if (oldCount > UINT64_MAX - addedCount) {
        throw Error(ArchiveError::invalidCentralDirectoryEntryCount);
    }

    writeStreamInPieces(cache.records, cache.records.size(), bufferSize, stream);
    writeStreamInPieces(addedRecords, addedRecords.size(), bufferSize, stream);
    const std::uint64_t endRecordsStart = start + cache.records.size() + addedRecords.size();
    return writeEndOfCentralDirectory(oldCount + addedCount, oldSize + addedRecords.size(), start,
                                      endRecordsStart);
}

void ArchiveWriter::adoptWrittenDirectory(std::uint64_t start, Bytes addedRecords,
                                          WrittenEndRecords written) {
    reader_.endRecords_ = written.records;
    try {
        CentralDirectoryCache& cache = *centralDirectoryCache_;
        if (cache.records.empty()) {
            cache.records = std::move(addedRecords);  // a new archive's: no copy
        } else {
            appendBytes(cache.records, addedRecords);
        }
        cache.trailingBytes = std::move(written.bytes);
        cache.offset = start;
    } catch (const std::bad_alloc&) {
        centralDirectoryCache_.reset();  // the next append reads the directory from the archive
    }
}

// The directory's count, size and start and where the end records go: four positions of one
// layout, computed together at both callers (the shape of the ZIP64 end record itself).
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
ArchiveWriter::WrittenEndRecords ArchiveWriter::writeEndOfCentralDirectory(
    std::uint64_t entryCount, std::uint64_t centralDirectorySize,
    std::uint64_t centralDirectoryStart, std::uint64_t endRecordsStart) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    WrittenEndRecords written;
    EndOfCentralDirectoryRecord& record = written.records.endRecord;
    record = reader_.endRecords_.endRecord;  // disk numbers and comment stay
    record.totalNumberOfEntriesOnDisk = saturated<std::uint16_t>(entryCount, sentinel16);
    record.totalNumberOfEntriesInCentralDirectory = record.totalNumberOfEntriesOnDisk;
    record.sizeOfCentralDirectory = saturated<std::uint32_t>(centralDirectorySize, sentinel32);
    record.offsetToStartOfCentralDirectory =
        saturated<std::uint32_t>(centralDirectoryStart, sentinel32);

    if (entryCount >= sentinel16 || centralDirectorySize >= sentinel32 ||
        centralDirectoryStart >= sentinel32) {
        ZIP64EndOfCentralDirectory zip64 =
            zip64EndRecordsKeeping(reader_.endRecords_.zip64EndRecords);
        zip64.record.totalNumberOfEntriesOnDisk = entryCount;
        zip64.record.totalNumberOfEntriesInCentralDirectory = entryCount;
        zip64.record.sizeOfCentralDirectory = centralDirectorySize;
        zip64.record.offsetToStartOfCentralDirectory = centralDirectoryStart;
        zip64.locator.relativeOffsetOfZIP64EOCDRecord = endRecordsStart;
        written.bytes = zip64.record.serialize();
        appendBytes(written.bytes, zip64.locator.serialize());
        writeStreamChunk(written.bytes, reader_.archiveFile_.get());
        written.records.zip64EndRecords = zip64;
    }
    const Bytes classic = record.serialize();
    writeStreamChunk(classic, reader_.archiveFile_.get());
    appendBytes(written.bytes, classic);
    return written;
}

}  // namespace marrowzip

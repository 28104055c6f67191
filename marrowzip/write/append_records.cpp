// The records an append writes: the new entry's local and central headers, and the central
// directory with its end records.
#include <algorithm>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {
namespace {

constexpr std::uint64_t sizeLimit = 0xFFFFFFFF;
constexpr std::uint64_t countLimit = 0xFFFF;
constexpr std::uint16_t utf8NameFlag = 0x0800;
constexpr std::uint16_t versionNeededDefault = 20;
constexpr std::uint16_t versionNeededZIP64 = 45;

template <typename Field>
Field saturated(std::uint64_t value, std::uint64_t limit) {
    return static_cast<Field>(std::min(value, limit));
}

ZIP64EndOfCentralDirectory makeZIP64EndRecords(
    const std::optional<ZIP64EndOfCentralDirectory>& existing, std::uint64_t entryCount,
    std::uint64_t centralDirectorySize, std::uint64_t centralDirectoryStart,
    std::uint64_t endRecordsStart) {
    ZIP64EndOfCentralDirectory records;
    if (existing) {
        records.record.versionMadeBy = existing->record.versionMadeBy;
        records.record.versionNeededToExtract =
            std::max(existing->record.versionNeededToExtract, versionNeededZIP64);
        records.record.numberOfDisk = existing->record.numberOfDisk;
        records.record.numberOfDiskStart = existing->record.numberOfDiskStart;
        records.locator.numberOfDiskWithZIP64EOCDRecordStart =
            existing->locator.numberOfDiskWithZIP64EOCDRecordStart;
        records.locator.totalNumberOfDisk = existing->locator.totalNumberOfDisk;
    }
    // No extensible data sector is ever written, so the record is always 44 bytes after its
    // size field, whatever an earlier writer's record claimed.
    records.record.sizeOfZIP64EndOfCentralDirectoryRecord = 44;
    records.record.totalNumberOfEntriesOnDisk = entryCount;
    records.record.totalNumberOfEntriesInCentralDirectory = entryCount;
    records.record.sizeOfCentralDirectory = centralDirectorySize;
    records.record.offsetToStartOfCentralDirectory = centralDirectoryStart;
    records.locator.relativeOffsetOfZIP64EOCDRecord = endRecordsStart;
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
        // Both sizes always, so that the first and the second write have the same length.
        header.compressedSize = static_cast<std::uint32_t>(sizeLimit);
        header.uncompressedSize = static_cast<std::uint32_t>(sizeLimit);
        zip64.emplace();
        zip64->uncompressedSize = entry.uncompressedSize;
        zip64->compressedSize = compressedSize;
        zip64->dataSize = zip64->serializedDataSize();
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
    const bool offsetInBlock = relativeOffset >= sizeLimit;
    std::optional<ZIP64ExtendedInformation> zip64;
    if (header.zip64Block || offsetInBlock) {
        zip64.emplace();
        if (header.zip64Block) {
            zip64->uncompressedSize = header.zip64Block->uncompressedSize;
            zip64->compressedSize = header.zip64Block->compressedSize;
        }
        if (offsetInBlock) zip64->relativeOffsetOfLocalHeader = relativeOffset;
    }
    // The central header carries the same timestamp block as the local one: the modification
    // time alone.
    return CentralDirectoryStructure::fromLocalFileHeader(
        header, entry.externalFileAttributes, saturated<std::uint32_t>(relativeOffset, sizeLimit),
        extraFieldOfNewHeader(zip64, entry.timestamp));
}

ArchiveWriter::WrittenEndRecords ArchiveWriter::writeCentralDirectoryAndEndRecords(
    std::uint64_t start, ByteView addedRecords, std::uint64_t addedCount, std::int64_t bufferSize) {
    const CentralDirectoryCache& cache = *centralDirectoryCache_;
    std::FILE* stream = reader_.archiveFile_.get();
    const std::uint64_t oldCount = totalNumberOfEntries();
    const std::uint64_t oldSize = sizeOfCentralDirectory();
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

void ArchiveWriter::adoptWrittenDirectory(std::uint64_t start, ByteView addedRecords,
                                          WrittenEndRecords written) {
    reader_.endOfCentralDirectoryRecord_ = written.records.endRecord;
    reader_.zip64EndOfCentralDirectory_ = written.records.zip64EndRecords;
    try {
        CentralDirectoryCache& cache = *centralDirectoryCache_;
        cache.records.insert(cache.records.end(), addedRecords.begin(), addedRecords.end());
        cache.trailingBytes = std::move(written.bytes);
        cache.offset = start;
    } catch (const std::bad_alloc&) {
        centralDirectoryCache_.reset();  // the next append reads the directory from the archive
    }
}

ArchiveWriter::WrittenEndRecords ArchiveWriter::writeEndOfCentralDirectory(
    std::uint64_t entryCount, std::uint64_t centralDirectorySize,
    std::uint64_t centralDirectoryStart, std::uint64_t endRecordsStart) {
    WrittenEndRecords written;
    EndOfCentralDirectoryRecord& record = written.records.endRecord;
    record = reader_.endOfCentralDirectoryRecord_;  // disk numbers and comment stay
    record.totalNumberOfEntriesOnDisk = saturated<std::uint16_t>(entryCount, countLimit);
    record.totalNumberOfEntriesInCentralDirectory = record.totalNumberOfEntriesOnDisk;
    record.sizeOfCentralDirectory = saturated<std::uint32_t>(centralDirectorySize, sizeLimit);
    record.offsetToStartOfCentralDirectory =
        saturated<std::uint32_t>(centralDirectoryStart, sizeLimit);

    if (entryCount >= countLimit || centralDirectorySize >= sizeLimit ||
        centralDirectoryStart >= sizeLimit) {
        const ZIP64EndOfCentralDirectory zip64 =
            makeZIP64EndRecords(reader_.zip64EndOfCentralDirectory_, entryCount,
                                centralDirectorySize, centralDirectoryStart, endRecordsStart);
        written.bytes = zip64.record.serialize();
        const Bytes locator = zip64.locator.serialize();
        written.bytes.insert(written.bytes.end(), locator.begin(), locator.end());
        writeStreamChunk(written.bytes, reader_.archiveFile_.get());
        written.records.zip64EndRecords = zip64;
    }
    const Bytes classic = record.serialize();
    writeStreamChunk(classic, reader_.archiveFile_.get());
    written.bytes.insert(written.bytes.end(), classic.begin(), classic.end());
    return written;
}

}  // namespace marrowzip

// Appending an entry: the new local record goes where the central directory began, and the
// central directory, one header longer, and fresh end records follow it. Whatever fails on the
// way, the archive is put back as it was, so that it is a valid ZIP file between two appends.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/dos_date.hpp"
#include "marrowzip/write/append_coders.hpp"
#include "marrowzip/write/append_limits.hpp"
#include "marrowzip/write/archive_writer.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {
namespace {

constexpr std::size_t maximumPathLength = 0xFFFF;  // the name length is a 16-bit field

std::uint16_t typeBits(EntryType type) {
    return type == EntryType::directory ? S_IFDIR : type == EntryType::symlink ? S_IFLNK : S_IFREG;
}

// The name as it is stored. A directory's name ends in "/" (other tools tell directories by that
// alone), and nothing else may: unpackers would turn such a file into an empty folder. A NUL byte
// would make the name that unpackers check differ from the one they create.
std::string storedPath(std::string_view path, EntryType type, const std::string& archivePath) {
    std::string stored(path);
    auto refuse = [&] { return Error(ArchiveError::invalidEntryPath, archivePath, stored); };
    if (stored.empty() || stored.find('\0') != std::string::npos) throw refuse();
    if (type == EntryType::directory) {
        if (stored.back() != '/') stored.push_back('/');
    } else if (stored.back() == '/') {
        throw refuse();
    }
    if (stored.size() > maximumPathLength) throw refuse();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stored.data());
    if (!decodeUTF8(ByteView(bytes, stored.size()))) throw refuse();
    return stored;
}

}  // namespace

ArchiveWriter::PendingEntry ArchiveWriter::prepareEntry(std::string_view path,
                                                        const ProvidedEntry& provided,
                                                        CompressionMethod compressionMethod,
                                                        const std::string& archivePath) {
    const EntryType type = provided.type;
    const std::int64_t uncompressedSize = provided.uncompressedSize;
    PendingEntry entry;
    entry.path = storedPath(path, type, archivePath);
    entry.type = type;
    if (uncompressedSize < 0) throw Error(ArchiveError::invalidEntrySize, archivePath, entry.path);
    // Extraction reads a link's target in one piece and refuses one longer than a link can hold:
    // an entry with such a target could never be extracted again.
    if (type == EntryType::symlink && uncompressedSize > maximumLinkTargetLength()) {
        throw Error(ArchiveError::invalidEntryPath, archivePath, entry.path,
                    "the link target is longer than the system allows");
    }
    if (!compressionMethodFromRaw(static_cast<std::uint16_t>(compressionMethod))) {
        throw Error(ArchiveError::invalidCompressionMethod, archivePath, entry.path);
    }
    // A directory has no data, whatever size it was given.
    entry.uncompressedSize =
        type == EntryType::directory ? 0 : static_cast<std::uint64_t>(uncompressedSize);
    entry.compressionMethod = type == EntryType::file ? compressionMethod : CompressionMethod::none;
    entry.lastModFileTime = dosTimeOf(provided.modificationDate);
    entry.lastModFileDate = dosDateOf(provided.modificationDate);
    if (const auto time = unixTime32Of(provided.modificationDate)) {
        entry.timestamp = ExtendedTimestamp{ExtendedTimestamp::modificationTimeFlag, *time};
    }
    // The type bits come from the entry's type alone: a mode that carries type bits of its own
    // (a full st_mode) must not mix with them.
    const std::uint16_t mode =
        provided.permissions.value_or(type == EntryType::directory ? defaultDirectoryMode
                                                                   : defaultFileMode) &
        07777;
    entry.externalFileAttributes = static_cast<std::uint32_t>(typeBits(type) | mode) << 16;
    entry.zip64Sizes = needsZIP64Sizes(entry.uncompressedSize, entry.compressionMethod);
    return entry;
}

const ArchiveWriter::CentralDirectoryCache& ArchiveWriter::loadCentralDirectory(
    std::int64_t bufferSize) {
    const std::uint64_t offset = reader_.endRecords().offsetToStartOfCentralDirectory();
    const std::uint64_t size = reader_.endRecords().sizeOfCentralDirectory();
    if (centralDirectoryCache_ && centralDirectoryCache_->offset == offset &&
        centralDirectoryCache_->records.size() == size) {
        return *centralDirectoryCache_;
    }
    centralDirectoryCache_.reset();
    const std::string archivePath = archivePathForErrors();
    // Only a file read whole is changed: an append writes where the directory begins and cuts
    // what lies behind the new end records.
    ensureReadableWhole("append to it");
    // Offset and size come from the end records; a damaged archive may claim more than it holds,
    // and writing such a directory back would give end records that disagree with it.
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        throw Error(ArchiveError::invalidCentralDirectorySize, archivePath);
    }
    try {
        seekStream(reader_.archiveFile_.get(), offset, DataError::unreadableFile);
    } catch (const Error&) {
        throw Error(ArchiveError::invalidCentralDirectoryOffset, archivePath);
    }
    CentralDirectoryCache cache;
    cache.offset = offset;
    cache.records = readStreamChunk(static_cast<std::int64_t>(size), reader_.archiveFile_.get());
    if (cache.records.size() != size) {
        throw Error(ArchiveError::invalidCentralDirectorySize, archivePath);
    }
    for (;;) {
        const Bytes chunk = readStreamChunk(bufferSize, reader_.archiveFile_.get());
        if (chunk.empty()) break;
        appendBytes(cache.trailingBytes, chunk);
    }
    centralDirectoryCache_ = std::move(cache);
    return *centralDirectoryCache_;
}

ArchiveWriter::HeldData ArchiveWriter::holdEntryData(PendingEntry& entry, std::int64_t bufferSize,
                                                     Progress* progress, EntrySource source,
                                                     AppendCoders& coders,
                                                     bool storeIfNotSmaller) const {
    const bool mayStoreInstead = storeIfNotSmaller && entry.type == EntryType::file &&
                                 entry.compressionMethod != CompressionMethod::none;
    if (mayStoreInstead) {
        // Read once: the bytes serve the deflate attempt and, should it not pay, the copy.
        const auto size = static_cast<std::int64_t>(entry.uncompressedSize);
        auto raw = std::make_shared<Bytes>(size == 0 ? Bytes() : source.provider(0, size));
        source.provider = [raw](std::int64_t position, std::int64_t wanted) {
            const auto begin = std::min<std::size_t>(raw->size(), position);
            const auto end = std::min<std::size_t>(raw->size(), begin + wanted);
            return Bytes(raw->begin() + static_cast<std::ptrdiff_t>(begin),
                         raw->begin() + static_cast<std::ptrdiff_t>(end));
        };
    }
    HeldData held;
    const auto collect = [&held](ByteView chunk) { appendBytes(held.bytes, chunk); };
    held.result = writeEntryData(entry, bufferSize, progress, source, coders, collect);
    if (source.verifyExhausted) source.verifyExhausted();
    if (mayStoreInstead && held.result.written >= entry.uncompressedSize) {
        entry.compressionMethod = CompressionMethod::none;
        entry.zip64Sizes = needsZIP64Sizes(entry.uncompressedSize, entry.compressionMethod);
        held.bytes.clear();
        held.result = writeEntryData(entry, bufferSize, nullptr, source, coders, collect);
    }
    return held;
}

namespace {

// Copies the file at `path`, whose deflated data did not shrink it, stored from where `stream`
// stands, in pieces of `bufferSize`; answers its CRC-32. Refuses a file that became shorter.
std::uint32_t copyStoredFrom(const std::string& path, const ArchiveWriter::PendingEntry& entry,
                             std::int64_t bufferSize, std::FILE* stream) {
    const UniqueFile source = streamOver(openSourceDescriptor(path), "rb", path);
    std::uint32_t checksum = 0;
    for (std::uint64_t copied = 0; copied < entry.uncompressedSize;) {
        const Bytes piece = readStreamChunk(
            static_cast<std::int64_t>(std::min<std::uint64_t>(
                static_cast<std::uint64_t>(bufferSize), entry.uncompressedSize - copied)),
            source.get());
        if (piece.empty()) {
            throw Error(ArchiveError::invalidEntrySize, path, entry.path,
                        "the file changed while it was read");
        }
        checksum = updateCRC32(piece, checksum);
        writeStreamChunk(piece, stream);
        copied += piece.size();
    }
    return checksum;
}

}  // namespace

ArchiveWriter::WrittenEntry ArchiveWriter::writeEntry(std::uint64_t headerOffset,
                                                      PendingEntry entry, std::int64_t bufferSize,
                                                      Progress* progress, const EntrySource& source,
                                                      AppendCoders& coders,
                                                      bool storeIfNotSmaller) {
    std::FILE* stream = reader_.archiveFile_.get();
    seekStreamForWriting(stream, headerOffset);
    EntryDataResult data;
    std::uint64_t headerSize = 0;
    LocalFileHeader header;
    if (entry.uncompressedSize <= static_cast<std::uint64_t>(bufferSize)) {
        // The data of a small entry fits one buffer: with its sizes and CRC-32 known before the
        // header is written, the header goes out once and the stream never seeks back (each
        // seek would flush the stream's buffer: costly for a run of small files).
        HeldData held =
            holdEntryData(entry, bufferSize, progress, source, coders, storeIfNotSmaller);
        data = held.result;
        refuseOutgrownSizes(entry, data.written);
        header = writeLocalFileHeader(entry, data.written, data.crc32);
        writeStreamChunk(held.bytes, stream);
        headerSize = header.length();
    } else {
        writeLocalFileHeader(entry, 0, 0);
        headerSize = streamPosition(stream) - headerOffset;
        data = writeEntryData(entry, bufferSize, progress, source, coders,
                              [&](ByteView chunk) { writeStreamChunk(chunk, stream); });
        if (source.verifyExhausted) source.verifyExhausted();
        refuseOutgrownSizes(entry, data.written);
        if (storeIfNotSmaller && entry.type == EntryType::file &&
            entry.compressionMethod == CompressionMethod::deflate &&
            data.written >= entry.uncompressedSize && !source.path.empty()) {
            // Stored again over the compressed bytes, which took at least as much room; the
            // header keeps its layout. Should the file have changed since, its checksum tells.
            seekStream(stream, headerOffset + headerSize);
            if (copyStoredFrom(source.path, entry, bufferSize, stream) != data.crc32) {
                throw Error(ArchiveError::invalidEntrySize, source.path, entry.path,
                            "the file changed while it was read");
            }
            entry.compressionMethod = CompressionMethod::none;
            data.written = entry.uncompressedSize;
        }
        seekStream(stream, headerOffset);
        header = writeLocalFileHeader(entry, data.written, data.crc32);
        seekStream(stream, headerOffset + headerSize + data.written);
    }
    return {makeCentralDirectoryRecord(header, headerOffset, entry),
            headerOffset + headerSize + data.written};
}

void ArchiveWriter::appendEntryFromSource(std::string_view path, const ProvidedEntry& provided,
                                          const AppendOptions& options, const EntrySource& source) {
    const std::int64_t bufferSize = options.bufferSize;
    Progress* const progress = options.progress;
    const BulkFailureGuard bulkGuard(*this);
    const std::string archivePath = archivePathForErrors();
    if (reader_.accessMode_ == AccessMode::read) {
        throw Error(ArchiveError::unwritableArchive, archivePath, std::string(path));
    }
    if (bufferSize < 1) {
        throw Error(ArchiveError::invalidBufferSize, archivePath, std::string(path));
    }
    const PendingEntry entry = prepareEntry(path, provided, options.compressionMethod);
    if (progress != nullptr) progress->setTotalUnitCount(entry.progressUnits());
    if (bulk_) {
        appendInBulk(*bulk_, entry, bufferSize, progress, source);
        return;
    }

    WrittenEndRecords written;
    Bytes addedRecord;
    std::uint64_t centralDirectoryStart = 0;
    overwriteDirectory(bufferSize, entry.path, [&](std::uint64_t headerOffset) {
        AppendCoders coders;
        const WrittenEntry added =
            writeEntry(headerOffset, entry, bufferSize, progress, source, coders);
        centralDirectoryStart = added.end;
        addedRecord = added.record.serialize();
        written =
            writeCentralDirectoryAndEndRecords(centralDirectoryStart, addedRecord, 1, bufferSize);
        // Bytes that lay behind the old end records (never part of a valid archive) must not
        // survive behind the new ones.
        truncateArchive(centralDirectoryStart + centralDirectoryCache_->records.size() +
                        addedRecord.size() + written.bytes.size());
    });
    adoptWrittenDirectory(centralDirectoryStart, addedRecord, std::move(written));
}

void ArchiveWriter::overwriteDirectory(std::int64_t bufferSize, const std::string& entryPath,
                                       const std::function<void(std::uint64_t start)>& write) {
    const std::string archivePath = archivePathForErrors();
    std::uint64_t start = 0;
    try {
        start = beginOverwritingDirectory(bufferSize);
    } catch (const Error& error) {
        throw error.withContext(archivePath, entryPath);
    }
    const CentralDirectoryCache* saved = &*centralDirectoryCache_;
    try {
        write(start);
        endOverwritingDirectory();
    } catch (...) {
        try {
            rollbackAppend(start, *saved, bufferSize);
            endOverwritingDirectory();
        } catch (const Error& rollbackError) {
            throw rollbackError.withContext(archivePath, entryPath);
        }
        try {
            throw;
        } catch (const Error& error) {
            throw error.withContext(archivePath, entryPath);
        }
    }
}

void ArchiveWriter::refuseOutgrownSizes(const PendingEntry& entry, std::uint64_t written) const {
    if (!entry.zip64Sizes && written >= sentinel32) {
        throw Error(ArchiveError::invalidEntrySize, archivePathForErrors(), entry.path,
                    "the compressed data outgrew the sizes of its local header");
    }
}

}  // namespace marrowzip

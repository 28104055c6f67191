// Appending an entry: the new local record goes where the central directory began, and the
// central directory, one header longer, and fresh end records follow it. Whatever fails on the
// way, the archive is put back as it was, so that it is a valid ZIP file between two appends.
#include <sys/stat.h>

#include <cstdint>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/container/text_encoding.hpp"
#include "marrowzip/operations/append_limits.hpp"
#include "marrowzip/operations/extract_steps.hpp"
#include "marrowzip/operations/stream_position.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/dos_date.hpp"

namespace marrowzip {
namespace {

constexpr std::size_t maximumPathLength = 0xFFFF;  // the name length is a 16-bit field
constexpr std::uint64_t sizeLimit = 0xFFFFFFFF;

std::uint16_t typeBits(EntryType type) {
    switch (type) {
        case EntryType::directory:
            return S_IFDIR;
        case EntryType::symlink:
            return S_IFLNK;
        case EntryType::file:
            break;
    }
    return S_IFREG;
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

void Archive::appendEntry(std::string_view path, EntryType type, std::int64_t uncompressedSize,
                          Date modificationDate, std::optional<std::uint16_t> permissions,
                          CompressionMethod compressionMethod, std::int64_t bufferSize,
                          Progress* progress, const EntryDataProvider& provider) {
    appendEntryFromSource(path, type, uncompressedSize, modificationDate, permissions,
                          compressionMethod, bufferSize, progress, EntrySource{provider, {}, {}});
}

std::string Archive::archivePathForErrors() const {
    return url_.isFileURL() ? url_.path() : url_.absoluteString();
}

Archive::PendingEntry Archive::prepareEntry(std::string_view path, EntryType type,
                                            std::int64_t uncompressedSize, Date modificationDate,
                                            std::optional<std::uint16_t> permissions,
                                            CompressionMethod compressionMethod) const {
    const std::string archivePath = archivePathForErrors();
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
    entry.lastModFileTime = dosTimeOf(modificationDate);
    entry.lastModFileDate = dosDateOf(modificationDate);
    // The type bits come from the entry's type alone: a mode that carries type bits of its own
    // (a full st_mode) must not mix with them.
    const std::uint16_t mode =
        permissions.value_or(type == EntryType::directory ? defaultDirectoryMode
                                                          : defaultFileMode) &
        07777;
    entry.externalFileAttributes = static_cast<std::uint32_t>(typeBits(type) | mode) << 16;
    entry.zip64Sizes = needsZIP64Sizes(entry.uncompressedSize, entry.compressionMethod);
    return entry;
}

const Archive::CentralDirectoryCache& Archive::loadCentralDirectory(std::int64_t bufferSize) {
    const std::uint64_t offset = offsetToStartOfCentralDirectory();
    const std::uint64_t size = sizeOfCentralDirectory();
    if (centralDirectoryCache_ && centralDirectoryCache_->offset == offset &&
        centralDirectoryCache_->records.size() == size) {
        return *centralDirectoryCache_;
    }
    centralDirectoryCache_.reset();
    const std::string archivePath = archivePathForErrors();
    // Offset and size come from the end records; a damaged archive may claim more than it holds,
    // and writing such a directory back would give end records that disagree with it.
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        throw Error(ArchiveError::invalidCentralDirectorySize, archivePath);
    }
    try {
        seekStream(archiveFile_.get(), offset, DataError::unreadableFile);
    } catch (const Error&) {
        throw Error(ArchiveError::invalidCentralDirectoryOffset, archivePath);
    }
    CentralDirectoryCache cache;
    cache.offset = offset;
    cache.records = readStreamChunk(static_cast<std::int64_t>(size), archiveFile_.get());
    if (cache.records.size() != size) {
        throw Error(ArchiveError::invalidCentralDirectorySize, archivePath);
    }
    for (;;) {
        const Bytes chunk = readStreamChunk(bufferSize, archiveFile_.get());
        if (chunk.empty()) break;
        cache.trailingBytes.insert(cache.trailingBytes.end(), chunk.begin(), chunk.end());
    }
    centralDirectoryCache_ = std::move(cache);
    return *centralDirectoryCache_;
}

void Archive::appendEntryFromSource(std::string_view path, EntryType type,
                                    std::int64_t uncompressedSize, Date modificationDate,
                                    std::optional<std::uint16_t> permissions,
                                    CompressionMethod compressionMethod, std::int64_t bufferSize,
                                    Progress* progress, const EntrySource& source) {
    const std::string archivePath = archivePathForErrors();
    if (accessMode_ == AccessMode::read) {
        throw Error(ArchiveError::unwritableArchive, archivePath, std::string(path));
    }
    if (bufferSize < 1) {
        throw Error(ArchiveError::invalidBufferSize, archivePath, std::string(path));
    }
    const PendingEntry entry = prepareEntry(path, type, uncompressedSize, modificationDate,
                                            permissions, compressionMethod);
    if (progress != nullptr) {
        progress->setTotalUnitCount(
            type == EntryType::directory ? 1 : static_cast<std::int64_t>(entry.uncompressedSize));
    }

    const CentralDirectoryCache* saved = nullptr;
    try {
        saved = &loadCentralDirectory(bufferSize);
    } catch (const Error& error) {
        throw error.withContext(archivePath, entry.path);
    }
    const std::uint64_t headerOffset = saved->offset;

    WrittenCentralDirectory written;
    std::uint64_t centralDirectoryStart = 0;
    try {
        std::FILE* stream = archiveFile_.get();
        seekStream(stream, headerOffset);
        writeLocalFileHeader(entry, 0, 0);
        const EntryDataResult data = writeEntryData(entry, bufferSize, progress, source);
        if (source.verifyExhausted) source.verifyExhausted();
        if (!entry.zip64Sizes && data.written >= sizeLimit) {
            // Cannot happen while maximumDeflatedSize holds; refusing beats overwriting data.
            throw Error(ArchiveError::invalidEntrySize, archivePath, entry.path,
                        "the compressed data outgrew the sizes of its local header");
        }
        centralDirectoryStart = streamPosition(stream);
        seekStream(stream, headerOffset);
        const LocalFileHeader header = writeLocalFileHeader(entry, data.written, data.crc32);
        seekStream(stream, centralDirectoryStart);
        const CentralDirectoryStructure record =
            makeCentralDirectoryRecord(header, headerOffset, entry.externalFileAttributes);
        written = writeCentralDirectoryAndEndRecords(centralDirectoryStart, std::span(&record, 1),
                                                     bufferSize);
        // Bytes that lay behind the old end records (never part of a valid archive) must not
        // survive behind the new ones.
        truncateArchive(centralDirectoryStart + saved->records.size() +
                        written.addedRecords.size() + written.endRecords.bytes.size());
    } catch (...) {
        try {
            rollbackAppend(headerOffset, *saved, bufferSize);
        } catch (const Error& rollbackError) {
            throw rollbackError.withContext(archivePath, entry.path);
        }
        try {
            throw;
        } catch (const Error& error) {
            throw error.withContext(archivePath, entry.path);
        }
    }

    endOfCentralDirectoryRecord_ = written.endRecords.records.endRecord;
    zip64EndOfCentralDirectory_ = written.endRecords.records.zip64EndRecords;
    try {
        CentralDirectoryCache& cache = *centralDirectoryCache_;
        cache.records.insert(cache.records.end(), written.addedRecords.begin(),
                             written.addedRecords.end());
        cache.trailingBytes = std::move(written.endRecords.bytes);
        cache.offset = centralDirectoryStart;
    } catch (const std::bad_alloc&) {
        centralDirectoryCache_.reset();  // the next append reads the directory from the archive
    }
}

}  // namespace marrowzip

#include "marrowzip/container/archive.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"

namespace marrowzip {
namespace {

constexpr const char* memoryURLText = "memory:/";

// The end record searched for is the one closest to the end; the scan reads this many bytes at
// a time going backwards, each block overlapping the next by three bytes so that a signature
// straddling two blocks is still seen.
constexpr std::int64_t searchBlockSize = std::int64_t{64} * 1024;
constexpr std::int64_t signatureWidth = 4;

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// Writes all of `bytes` to a descriptor, through interruptions and short writes.
bool writeAll(int descriptor, ByteView bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates a new archive file holding only the empty end record and opens it for reading and
// writing. The file is created exclusively, so an existing file is never touched: no window
// between a check and the write lets another process's file be overwritten.
UniqueFile createEmptyArchiveFile(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        if (errno == EEXIST) throw Error(FileError::fileWriteFileExists, path);
        throw posixFileError(errno, path);
    }
    const Bytes emptyEndRecord = EndOfCentralDirectoryRecord().serialize();
    if (!writeAll(descriptor, emptyEndRecord)) {
        const int error = errno;
        ::close(descriptor);
        ::unlink(path.c_str());  // the file is ours: it did not exist a moment ago
        throw posixFileError(error, path);
    }
    UniqueFile stream(::fdopen(descriptor, "rb+"));
    if (!stream) {
        const int error = errno;
        ::close(descriptor);
        throw posixFileError(error, path);
    }
    return stream;
}

// Scans [low, high] from high down for the end-record signature, reading the block in one go.
// Returns the offset found, -1 when none, or -2 on a read error.
std::int64_t scanBlockBackwards(std::FILE* stream, std::int64_t low, std::int64_t high,
                                Bytes& block) {
    const std::int64_t size = high - low + signatureWidth;
    block.assign(static_cast<std::size_t>(size), 0);
    if (::fseeko(stream, static_cast<off_t>(low), SEEK_SET) != 0) return -2;
    // A short read leaves zeros behind, exactly as a cleared word read byte by byte would.
    std::fread(block.data(), 1, block.size(), stream);
    if (std::ferror(stream)) return -2;
    for (std::int64_t offset = high; offset >= low; --offset) {
        const auto* word = block.data() + (offset - low);
        if (littleEndian32(word) == EndOfCentralDirectoryRecord::signature) return offset;
    }
    return -1;
}

// A stream over an in-memory buffer, with the end records found in it.
std::pair<UniqueFile, Archive::EndRecords> openMemoryStream(MemoryFile& file,
                                                            Archive::AccessMode mode) {
    using AccessMode = Archive::AccessMode;
    const char* streamMode = mode == AccessMode::create ? "wb+"
                             : mode == AccessMode::read ? "rb"
                                                        : "rb+";
    UniqueFile stream = file.openStream(streamMode);
    if (!stream) throw Error(ArchiveError::unreadableArchive, memoryURLText);
    if (mode == AccessMode::create) {
        // Over a non-empty buffer the empty end record replaces its first 22 bytes only.
        writeStreamChunk(EndOfCentralDirectoryRecord().serialize(), stream.get());
    }
    auto records = Archive::locateEndRecords(stream.get());
    if (!records) throw Error(ArchiveError::missingEndOfCentralDirectoryRecord, memoryURLText);
    if (mode != AccessMode::read) ::fseeko(stream.get(), 0, SEEK_SET);
    return {std::move(stream), std::move(*records)};
}

}  // namespace

Archive::Archive(FileURL url, AccessMode mode, std::optional<std::string> pathEncoding)
    : url_(std::move(url)), accessMode_(mode), pathEncoding_(std::move(pathEncoding)) {}

Archive::Archive(Archive&&) noexcept = default;
Archive& Archive::operator=(Archive&&) noexcept = default;

Archive::~Archive() {
    // An open bulk append writes its central directory while the stream is still there.
    endBulkAppendKeepingError();
    // The stream goes first: closing it may still flush through its buffer.
    archiveFile_.reset();
}

Archive Archive::openFile(const FileURL& url, AccessMode mode,
                          std::optional<std::string> pathEncoding) {
    Archive archive(url, mode, std::move(pathEncoding));
    BackingStream backing = openBackingStream(url, mode);
    archive.archiveFile_ = std::move(backing.stream);
    archive.endOfCentralDirectoryRecord_ = std::move(backing.endRecord);
    archive.zip64EndOfCentralDirectory_ = std::move(backing.zip64EndRecords);
    archive.streamBuffer_ = std::make_unique<char[]>(static_cast<std::size_t>(defaultChunkSize));
    std::setvbuf(archive.archiveFile_.get(), archive.streamBuffer_.get(), _IOFBF,
                 static_cast<std::size_t>(defaultChunkSize));
    return archive;
}

Archive Archive::openMemory(Bytes data, AccessMode mode, std::optional<std::string> pathEncoding) {
    return openMemoryFile(MemoryFile::make(std::move(data)), mode, std::move(pathEncoding));
}

Archive Archive::openMemoryFile(std::shared_ptr<MemoryFile> file, AccessMode mode,
                                std::optional<std::string> pathEncoding) {
    auto url = FileURL::parse(memoryURLText);
    if (!url || !file) throw Error(ArchiveError::unreadableArchive, memoryURLText);
    Archive archive(*url, mode, std::move(pathEncoding));
    auto [stream, records] = openMemoryStream(*file, mode);
    archive.archiveFile_ = std::move(stream);
    archive.endOfCentralDirectoryRecord_ = std::move(records.endRecord);
    archive.zip64EndOfCentralDirectory_ = std::move(records.zip64EndRecords);
    archive.memoryFile_ = std::move(file);
    return archive;
}

std::optional<Archive> Archive::tryOpenFile(const FileURL& url, AccessMode mode,
                                            std::optional<std::string> pathEncoding) {
    try {
        return openFile(url, mode, std::move(pathEncoding));
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::optional<Archive> Archive::tryOpenMemory(Bytes data, AccessMode mode,
                                              std::optional<std::string> pathEncoding) {
    try {
        return openMemory(std::move(data), mode, std::move(pathEncoding));
    } catch (const Error&) {
        return std::nullopt;
    }
}

Archive::BackingStream Archive::openBackingStream(const FileURL& url, AccessMode mode) {
    const std::string& path = url.path();
    UniqueFile stream;
    if (mode == AccessMode::create) {
        stream = createEmptyArchiveFile(path);
    } else {
        errno = 0;
        stream.reset(std::fopen(path.c_str(), mode == AccessMode::read ? "rb" : "rb+"));
        if (!stream) throw posixFileError(errno, path);
    }
    auto records = locateEndRecords(stream.get());
    if (!records) throw Error(ArchiveError::missingEndOfCentralDirectoryRecord, path);
    if (mode != AccessMode::read) ::fseeko(stream.get(), 0, SEEK_SET);
    return BackingStream{std::move(stream), std::move(records->endRecord),
                         std::move(records->zip64EndRecords), nullptr};
}

Archive::BackingStream Archive::openBackingStream(Bytes data, AccessMode mode) {
    auto memoryFile = MemoryFile::make(std::move(data));
    auto [stream, records] = openMemoryStream(*memoryFile, mode);
    return BackingStream{std::move(stream), std::move(records.endRecord),
                         std::move(records.zip64EndRecords), std::move(memoryFile)};
}

std::optional<Archive::EndRecords> Archive::locateEndRecords(std::FILE* stream) {
    if (::fseeko(stream, 0, SEEK_END) != 0) return std::nullopt;
    const std::int64_t length = ::ftello(stream);
    const auto fixedSize = static_cast<std::int64_t>(EndOfCentralDirectoryRecord::fixedSize);
    if (length < fixedSize) return std::nullopt;

    // The record closest to the end wins, with no bound on the comment before it: every offset
    // from 22 bytes before the end back to the first byte is a candidate, in that order.
    Bytes block;
    std::int64_t found = -1;
    for (std::int64_t high = length - fixedSize; high >= 0 && found == -1;) {
        const std::int64_t low =
            std::max<std::int64_t>(0, high - (searchBlockSize - signatureWidth));
        found = scanBlockBackwards(stream, low, high, block);
        if (found == -2) return std::nullopt;  // a read error empties the search
        high = low - 1;
    }
    if (found < 0) return std::nullopt;

    // Only the last signature is tried: if it does not start a whole record, there is none.
    auto endRecord =
        readRecord<EndOfCentralDirectoryRecord>(stream, static_cast<std::uint64_t>(found));
    if (!endRecord) return std::nullopt;
    return EndRecords{std::move(*endRecord),
                      locateZIP64EndRecords(stream, static_cast<std::uint64_t>(found))};
}

std::optional<ZIP64EndOfCentralDirectory> Archive::locateZIP64EndRecords(
    std::FILE* stream, std::uint64_t endRecordOffset) {
    // The locator sits right before the end record and the ZIP64 record right before the
    // locator; the locator's own offset field is not followed. Only an end record from offset 77
    // on has room for both with at least one byte before them; one at 76 is taken to have none.
    constexpr std::uint64_t locatorSize = ZIP64EndOfCentralDirectoryLocator::fixedSize;
    constexpr std::uint64_t recordAndLocatorSize =
        ZIP64EndOfCentralDirectoryRecord::fixedSize + locatorSize;
    if (endRecordOffset < recordAndLocatorSize + 1) return std::nullopt;
    auto locator =
        readRecord<ZIP64EndOfCentralDirectoryLocator>(stream, endRecordOffset - locatorSize);
    if (!locator) return std::nullopt;
    auto record = readRecord<ZIP64EndOfCentralDirectoryRecord>(
        stream, endRecordOffset - recordAndLocatorSize);
    if (!record) return std::nullopt;
    return ZIP64EndOfCentralDirectory{std::move(*record), *locator};
}

std::optional<Bytes> Archive::data() const {
    if (!memoryFile_) return std::nullopt;
    // stdio may still hold written bytes in its own buffer.
    std::fflush(archiveFile_.get());
    return memoryFile_->data();
}

std::uint64_t Archive::totalNumberOfEntries() const noexcept {
    if (zip64EndOfCentralDirectory_) {
        return zip64EndOfCentralDirectory_->record.totalNumberOfEntriesInCentralDirectory;
    }
    return endOfCentralDirectoryRecord_.totalNumberOfEntriesInCentralDirectory;
}

std::uint64_t Archive::sizeOfCentralDirectory() const noexcept {
    if (zip64EndOfCentralDirectory_)
        return zip64EndOfCentralDirectory_->record.sizeOfCentralDirectory;
    return endOfCentralDirectoryRecord_.sizeOfCentralDirectory;
}

std::uint64_t Archive::offsetToStartOfCentralDirectory() const noexcept {
    if (zip64EndOfCentralDirectory_) {
        return zip64EndOfCentralDirectory_->record.offsetToStartOfCentralDirectory;
    }
    return endOfCentralDirectoryRecord_.offsetToStartOfCentralDirectory;
}

}  // namespace marrowzip

// Opening an archive: creating a new file, the writers' lock, the rollback of an unfinished
// update, reading beside a writer, and the search for the end records.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "marrowzip/format/update_journal.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/read/archive_reader.hpp"

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

// Whether `descriptor` is still the file at `path` (a removal replaces the file by a rename:
// a lock taken on the old one protects nothing).
bool isFileAtPath(int descriptor, const std::string& path) {
    struct ::stat opened {};
    struct ::stat named {};
    return ::fstat(descriptor, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Gives the new file its name, unless the name is taken: the file appears there complete, and
// an existing file is never replaced, with no window between a check and the write.
bool linkNewFile(int descriptor, const std::string& path) {
    const std::string procPath = "/proc/self/fd/" + std::to_string(descriptor);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno == EEXIST) throw Error(FileError::fileWriteFileExists, path);
    return false;
}

// Creates a new archive file holding only the empty end record and opens it for reading and
// writing, locked. It is written unnamed in the archive's folder and linked under its name once
// durable, so that the path holds either nothing or a valid archive. Where the file system has
// no unnamed files, the file is created exclusively under its name and then written.
UniqueFile createEmptyArchiveFile(const std::string& path) {
    const Bytes emptyEndRecord = EndOfCentralDirectoryRecord().serialize();
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    // Locks the new file and makes it hold the empty end record, durably.
    const auto fill = [&](int descriptor) {
        lockFile(descriptor, true, path);
        return writeAllAt(descriptor, emptyEndRecord.data(), emptyEndRecord.size(), 0) &&
               ::fsync(descriptor) == 0;
    };
    UniqueFd descriptor(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (descriptor && !fill(descriptor.get())) throw posixFileError(errno, path);
    if (!descriptor || !linkNewFile(descriptor.get(), path)) {
        // EEXIST becomes FileError::fileWriteFileExists.
        descriptor.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!descriptor) throw posixFileError(errno, path);
        if (!fill(descriptor.get())) {
            const int error = errno;
            ::unlink(path.c_str());  // the file is ours: it did not exist a moment ago
            throw posixFileError(error, path);
        }
    }
    syncFolderOf(path);
    return streamOver(std::move(descriptor), "rb+", path);
}

// An archive file by its path and the key its journal goes by.
struct ArchivePath {
    std::string path;
    std::string journalKey;
};

// Rolls back the update whose journal belongs to the file open (and locked for writing) at
// `descriptor`; a journal left by a file no longer there just goes.
void rollBackUnfinishedUpdate(const ArchivePath& archive, int descriptor) {
    if (auto journal = readJournal(archive.journalKey)) {
        if (journalBelongsTo(*journal, descriptor)) {
            restoreFromJournal(*journal, descriptor, archive.path);
        }
        removeJournal(archive.journalKey);
    }
}

// Opens an existing archive for writing with the writers' lock held, then rolls back an update
// that a killed writer left unfinished.
UniqueFile openForUpdate(const ArchivePath& archive, const OpenOptions& options) {
    const std::string& path = archive.path;
    bool announced = false;
    for (;;) {
        UniqueFd descriptor(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!descriptor) throw posixFileError(errno, path);
        if (!tryLockFile(descriptor.get(), true)) {
            if (!options.waitForOtherWriter) {
                throw Error(ArchiveError::unwritableArchive, path, {},
                            "another process is updating the archive");
            }
            if (!announced && options.onWaiting) options.onWaiting();
            announced = true;
            lockFile(descriptor.get(), true, path);
        }
        // Replaced while we waited (a removal): the lock must be on the file that is there now.
        if (!isFileAtPath(descriptor.get(), path)) continue;
        rollBackUnfinishedUpdate(archive, descriptor.get());
        return streamOver(std::move(descriptor), "rb+", path);
    }
}

// Reads the bytes from `offset` to the end of the stream.
Bytes readToEnd(std::FILE* stream, std::uint64_t offset) {
    Bytes tail;
    if (::fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return tail;
    std::uint8_t chunk[16384];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, stream);
        tail.insert(tail.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    return tail;
}

// The size and the modification and change times: a file whose stamp stayed is unchanged.
using FileStamp = std::array<std::int64_t, 5>;

std::optional<FileStamp> stampOf(int descriptor) {
    struct ::stat status {};
    if (::fstat(descriptor, &status) != 0) return std::nullopt;
    return FileStamp{status.st_size, status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                     status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

// Rolls back an unfinished update for a reader, when no writer is alive and the file can be
// written; false when that is not possible.
bool recoverForReader(const ArchivePath& archive) {
    const UniqueFd descriptor(::open(archive.path.c_str(), O_RDWR | O_CLOEXEC));
    if (!descriptor || !tryLockFile(descriptor.get(), true)) return false;
    bool recovered = true;
    try {
        rollBackUnfinishedUpdate(archive, descriptor.get());
    } catch (const Error&) {
        recovered = false;
    }
    unlockFile(descriptor.get());
    return recovered;
}

// One attempt of openForReading; null when the file changed while its tail was copied.
UniqueFile tryOpenForReading(const ArchivePath& archive, bool lastAttempt) {
    const std::string& path = archive.path;
    const std::string& journalKey = archive.journalKey;
    UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor) throw posixFileError(errno, path);
    const int fd = descriptor.get();
    const bool noWriter = tryLockFile(fd, false);
    // The shared lock is only held while the state is looked at.
    struct Unlock {
        int descriptor;
        bool held;
        ~Unlock() {
            if (held) unlockFile(descriptor);
        }
    } unlock{fd, noWriter};
    const auto withTail = [&](std::uint64_t tailOffset, Bytes tail) {
        UniqueFile stream = openStreamWithTail(std::move(descriptor), tailOffset, std::move(tail));
        if (!stream) throw Error(ArchiveError::unreadableArchive, path);
        return stream;
    };

    std::optional<JournalRecord> journal = readJournal(journalKey);
    if (journal && !journalBelongsTo(*journal, fd)) journal.reset();
    if (journal) {
        if (noWriter) {
            unlockFile(fd);
            unlock.held = false;
            if (recoverForReader(archive)) return streamOver(std::move(descriptor), "rb", path);
        }
        return withTail(journal->tailOffset, std::move(journal->tail));
    }
    if (noWriter) return streamOver(std::move(descriptor), "rb", path);

    // A writer holds the file but has not begun to overwrite it (that comes after its journal):
    // the tail is copied now, and kept if the file did not change meanwhile.
    const auto before = stampOf(fd);
    UniqueFd copy(::dup(fd));
    if (!copy) throw posixFileError(errno, path);
    UniqueFile probe = streamOver(std::move(copy), "rb", path);
    const std::optional<EndRecords> records = locateEndRecords(probe.get());
    std::uint64_t tailOffset = 0;
    Bytes tail;
    if (records) {
        tailOffset = records->offsetToStartOfCentralDirectory();
        tail = readToEnd(probe.get(), tailOffset);
    }
    journal = readJournal(journalKey);
    if (journal && journalBelongsTo(*journal, fd)) {
        return withTail(journal->tailOffset, std::move(journal->tail));
    }
    if (records && stampOf(fd) == before) return withTail(tailOffset, std::move(tail));
    if (!lastAttempt) return nullptr;
    // Still changing after every attempt: wait for the writer, then read what it left.
    lockFile(fd, false, path);
    unlock.held = true;
    return streamOver(std::move(descriptor), "rb", path);
}

// Opens an archive for reading as it stands when no update is under way, or as it was before
// the update that another process is making (or a killed one left unfinished).
UniqueFile openForReading(const ArchivePath& archive) {
    constexpr int attempts = 50;
    for (int attempt = 1;; ++attempt) {
        if (UniqueFile stream = tryOpenForReading(archive, attempt == attempts)) {
            return stream;
        }
    }
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

std::optional<ZIP64EndOfCentralDirectory> locateZIP64EndRecords(std::FILE* stream,
                                                                std::uint64_t endRecordOffset) {
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

}  // namespace

ArchiveReader::ArchiveReader(FileURL url, AccessMode mode, std::optional<std::string> pathEncoding)
    : url_(std::move(url)), accessMode_(mode), pathEncoding_(std::move(pathEncoding)) {}

ArchiveReader::~ArchiveReader() {
    // The stream goes first: closing it may still flush through its buffer.
    archiveFile_.reset();
}

std::unique_ptr<ArchiveReader> ArchiveReader::openFile(const FileURL& url, AccessMode mode,
                                                       const OpenOptions& options) {
    auto reader = std::make_unique<ArchiveReader>(url, mode, options.pathEncoding);
    const std::string& path = url.path();
    // The path the journal lies beside: the archive's own, with links resolved.
    std::error_code unresolved;
    const std::filesystem::path real = std::filesystem::weakly_canonical(path, unresolved);
    reader->journalKey_ = unresolved ? path : real.string();
    UniqueFile stream;
    if (mode == AccessMode::create) {
        stream = createEmptyArchiveFile(path);
        // A journal left by an archive that was deleted since belongs to no file that is here.
        ::unlink(journalPathFor(reader->journalKey_).c_str());
    } else if (mode == AccessMode::read) {
        stream = openForReading({path, reader->journalKey_});
    } else {
        stream = openForUpdate({path, reader->journalKey_}, options);
    }
    reader->takeStream(std::move(stream), path);
    reader->streamBuffer_ = bufferStream(reader->archiveFile_.get(), mode);
    return reader;
}

std::unique_ptr<char[]> ArchiveReader::bufferStream(std::FILE* stream, AccessMode mode) {
    constexpr std::size_t writerBuffer = std::size_t{256} << 10;
    const std::size_t size =
        mode == AccessMode::read ? static_cast<std::size_t>(defaultChunkSize) : writerBuffer;
    auto buffer = std::make_unique_for_overwrite<char[]>(size);
    std::setvbuf(stream, buffer.get(), _IOFBF, size);
    return buffer;
}

std::unique_ptr<ArchiveReader> ArchiveReader::openMemoryFile(
    std::shared_ptr<MemoryFile> file, AccessMode mode, std::optional<std::string> pathEncoding) {
    auto url = FileURL::parse(memoryURLText);
    if (!url || !file) throw Error(ArchiveError::unreadableArchive, memoryURLText);
    auto reader = std::make_unique<ArchiveReader>(*url, mode, std::move(pathEncoding));
    const char* streamMode = mode == AccessMode::create ? "wb+"
                             : mode == AccessMode::read ? "rb"
                                                        : "rb+";
    UniqueFile stream = file->openStream(streamMode);
    if (!stream) throw Error(ArchiveError::unreadableArchive, memoryURLText);
    if (mode == AccessMode::create) {
        // Over a non-empty buffer the empty end record replaces its first 22 bytes only.
        writeStreamChunk(EndOfCentralDirectoryRecord().serialize(), stream.get());
    }
    reader->takeStream(std::move(stream), memoryURLText);
    reader->memoryFile_ = std::move(file);
    return reader;
}

void ArchiveReader::takeStream(UniqueFile stream, const std::string& path) {
    auto records = locateEndRecords(stream.get());
    if (!records) throw Error(ArchiveError::missingEndOfCentralDirectoryRecord, path);
    if (accessMode_ != AccessMode::read) ::fseeko(stream.get(), 0, SEEK_SET);
    endRecords_ = std::move(*records);
    archiveFile_ = std::move(stream);
}

std::optional<EndRecords> locateEndRecords(std::FILE* stream) {
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

std::optional<Bytes> ArchiveReader::data() const {
    if (!memoryFile_) return std::nullopt;
    // stdio may still hold written bytes in its own buffer.
    std::fflush(archiveFile_.get());
    return memoryFile_->data();
}

std::uint64_t EndRecords::totalNumberOfEntries() const noexcept {
    return zip64EndRecords ? zip64EndRecords->record.totalNumberOfEntriesInCentralDirectory
                           : endRecord.totalNumberOfEntriesInCentralDirectory;
}

std::uint64_t EndRecords::sizeOfCentralDirectory() const noexcept {
    return zip64EndRecords ? zip64EndRecords->record.sizeOfCentralDirectory
                           : endRecord.sizeOfCentralDirectory;
}

std::uint64_t EndRecords::offsetToStartOfCentralDirectory() const noexcept {
    return zip64EndRecords ? zip64EndRecords->record.offsetToStartOfCentralDirectory
                           : endRecord.offsetToStartOfCentralDirectory;
}

}  // namespace marrowzip

#include "marrowzip/format/update_journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/byte_cursor.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/memory_file.hpp"

namespace marrowzip {
namespace {

// "MZJRNL" and a format number; then device, inode, tail offset, original length, the CRC-32 of
// the bytes before the tail, tail length (six 64-bit values), the tail, and the CRC-32 of
// everything before it.
constexpr std::uint8_t journalMagic[8] = {'M', 'Z', 'J', 'R', 'N', 'L', '0', '1'};
constexpr std::size_t journalHeaderSize = sizeof journalMagic + std::size_t{6} * 8;
// The bytes before the tail that an update leaves alone and a journal checks: a file that took
// the archive's place (and perhaps its inode number) does not hold them.
constexpr std::uint64_t precedingBytes = std::uint64_t{1} << 16;
constexpr std::size_t journalChecksumSize = 4;
constexpr std::size_t copyChunk = std::size_t{1} << 16;

bool readExactlyAt(int descriptor, Bytes& bytes, std::uint64_t offset) {
    return readAllAt(descriptor, bytes.data(), bytes.size(), offset) ==
           static_cast<ssize_t>(bytes.size());
}

// The CRC-32 of the bytes before `tailOffset` that the journal checks; absent on a read error
// or when the file is shorter.
std::optional<std::uint32_t> precedingChecksum(int descriptor, std::uint64_t tailOffset) {
    const std::uint64_t from = tailOffset - std::min(tailOffset, precedingBytes);
    Bytes bytes(static_cast<std::size_t>(tailOffset - from));
    if (!readExactlyAt(descriptor, bytes, from)) return std::nullopt;
    return updateCRC32(bytes, 0);
}

// A temporary journal that has not been renamed into place goes on every exit.
class PendingJournal {
public:
    explicit PendingJournal(const std::string& journalPath) : path_(journalPath + ".new-XXXXXX") {
        descriptor_.reset(::mkostemp(path_.data(), O_CLOEXEC));
        if (!descriptor_) throw posixFileError(errno, path_);
    }
    ~PendingJournal() {
        if (!placed_) ::unlink(path_.c_str());
    }
    PendingJournal(const PendingJournal&) = delete;
    PendingJournal& operator=(const PendingJournal&) = delete;

    int descriptor() const noexcept { return descriptor_.get(); }
    const std::string& path() const noexcept { return path_; }
    void placed() noexcept { placed_ = true; }

private:
    std::string path_;
    UniqueFd descriptor_;
    bool placed_ = false;
};

// The stream of openStreamWithTail: the file below the tail offset, the kept tail from there.
struct TailedStream {
    UniqueFd file;
    std::uint64_t tailOffset = 0;
    Bytes tail;
    std::uint64_t position = 0;

    std::uint64_t length() const noexcept { return tailOffset + tail.size(); }
};

ssize_t readTailed(void* cookie, char* destination, std::size_t capacity) noexcept {
    auto& stream = *static_cast<TailedStream*>(cookie);
    std::size_t delivered = 0;
    while (delivered < capacity && stream.position < stream.length()) {
        const std::size_t room = capacity - delivered;
        auto* target = reinterpret_cast<std::uint8_t*>(destination) + delivered;
        std::size_t count = 0;
        if (stream.position < stream.tailOffset) {
            const auto wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(room, stream.tailOffset - stream.position));
            const ssize_t n = readAllAt(stream.file.get(), target, wanted, stream.position);
            if (n < 0) return -1;
            if (n == 0) break;  // the file is shorter than it was: nothing more to give
            count = static_cast<std::size_t>(n);
        } else {
            const auto from = static_cast<std::size_t>(stream.position - stream.tailOffset);
            count = std::min(room, stream.tail.size() - from);
            std::memcpy(target, stream.tail.data() + from, count);
        }
        delivered += count;
        stream.position += count;
    }
    return static_cast<ssize_t>(delivered);
}

int seekTailed(void* cookie, off64_t* offset, int origin) noexcept {
    auto& stream = *static_cast<TailedStream*>(cookie);
    const std::int64_t target =
        seekTarget(*offset, origin, static_cast<std::int64_t>(stream.position),
                   static_cast<std::int64_t>(stream.length()));
    if (target < 0) return -1;
    stream.position = static_cast<std::uint64_t>(target);
    *offset = target;
    return 0;
}

int closeTailed(void* cookie) noexcept {
    std::unique_ptr<TailedStream>(static_cast<TailedStream*>(cookie)).reset();
    return 0;
}

}  // namespace

std::string journalPathFor(const std::string& archivePath) {
    return archivePath + journalSuffix;
}

void syncFolderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string folder = parent.empty() ? std::string(".") : parent.string();
    const UniqueFd descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!descriptor) throw posixFileError(errno, folder);
    // Some file systems cannot sync a folder; their renames are then as durable as they get.
    if (::fsync(descriptor.get()) != 0 && errno != EINVAL && errno != EROFS) {
        throw posixFileError(errno, folder);
    }
}

void writeJournal(const std::string& archivePath, int archive, std::uint64_t tailOffset) {
    const std::string journalPath = journalPathFor(archivePath);
    struct stat status {};
    if (::fstat(archive, &status) != 0) throw posixFileError(errno, archivePath);
    const auto length = static_cast<std::uint64_t>(status.st_size);
    tailOffset = std::min(tailOffset, length);

    const auto preceding = precedingChecksum(archive, tailOffset);
    if (!preceding) throw Error(DataError::unreadableFile, archivePath);
    PendingJournal pending(journalPath);
    const Bytes header = ByteWriter()
                             .bytes(ByteView(journalMagic, sizeof journalMagic))
                             .u64(static_cast<std::uint64_t>(status.st_dev))
                             .u64(static_cast<std::uint64_t>(status.st_ino))
                             .u64(tailOffset)
                             .u64(length)
                             .u64(*preceding)
                             .u64(length - tailOffset)
                             .bytes();
    std::uint32_t checksum = updateCRC32(header, 0);
    if (!writeAllAt(pending.descriptor(), header.data(), header.size(), 0)) {
        throw posixFileError(errno, pending.path());
    }
    // The tail is copied in pieces: memory stays bounded whatever its length.
    Bytes chunk(copyChunk);
    std::uint64_t written = header.size();
    for (std::uint64_t offset = tailOffset; offset < length;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(copyChunk, length - offset));
        const ssize_t n = readAllAt(archive, chunk.data(), wanted, offset);
        if (n < 0) throw posixFileError(errno, archivePath);
        if (static_cast<std::size_t>(n) != wanted)
            throw Error(DataError::unreadableFile, archivePath);
        checksum = updateCRC32(ByteView(chunk.data(), wanted), checksum);
        if (!writeAllAt(pending.descriptor(), chunk.data(), wanted, written)) {
            throw posixFileError(errno, pending.path());
        }
        written += wanted;
        offset += wanted;
    }
    const Bytes trailer = ByteWriter().u32(checksum).bytes();
    if (!writeAllAt(pending.descriptor(), trailer.data(), trailer.size(), written) ||
        ::fsync(pending.descriptor()) != 0) {
        throw posixFileError(errno, pending.path());
    }
    if (::rename(pending.path().c_str(), journalPath.c_str()) != 0) {
        throw posixFileError(errno, journalPath);
    }
    pending.placed();
    syncFolderOf(journalPath);
}

std::optional<JournalRecord> readJournal(const std::string& archivePath) {
    const std::string journalPath = journalPathFor(archivePath);
    const UniqueFd descriptor(::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor) {
        if (errno == ENOENT) return std::nullopt;
        throw posixFileError(errno, journalPath);
    }
    const auto damaged = [&] {
        return Error(ArchiveError::unreadableArchive, journalPath, {},
                     "the journal of an unfinished update is damaged; the archive may be "
                     "damaged too");
    };
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0) throw posixFileError(errno, journalPath);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size < journalHeaderSize + journalChecksumSize) throw damaged();

    Bytes header(journalHeaderSize);
    if (!readExactlyAt(descriptor.get(), header, 0) ||
        !std::equal(std::begin(journalMagic), std::end(journalMagic), header.begin())) {
        throw damaged();
    }
    ByteReader reader(ByteView(header).subspan(sizeof journalMagic));
    JournalRecord record;
    record.device = reader.u64();
    record.inode = reader.u64();
    record.tailOffset = reader.u64();
    record.originalLength = reader.u64();
    record.precedingChecksum = static_cast<std::uint32_t>(reader.u64());
    const std::uint64_t tailLength = reader.u64();
    // The lengths are checked against the journal's own size before anything is allocated.
    if (tailLength != size - journalHeaderSize - journalChecksumSize ||
        record.tailOffset > record.originalLength ||
        record.originalLength - record.tailOffset != tailLength) {
        throw damaged();
    }
    record.tail.resize(static_cast<std::size_t>(tailLength));
    Bytes trailer(journalChecksumSize);
    if (!readExactlyAt(descriptor.get(), record.tail, journalHeaderSize) ||
        !readExactlyAt(descriptor.get(), trailer, journalHeaderSize + tailLength)) {
        throw damaged();
    }
    const std::uint32_t checksum = updateCRC32(record.tail, updateCRC32(header, 0));
    if (ByteReader(trailer).u32() != checksum) throw damaged();
    return record;
}

void removeJournal(const std::string& archivePath) {
    const std::string journalPath = journalPathFor(archivePath);
    if (::unlink(journalPath.c_str()) != 0) {
        if (errno == ENOENT) return;
        throw posixFileError(errno, journalPath);
    }
    syncFolderOf(journalPath);
}

bool journalBelongsTo(const JournalRecord& record, int archive) {
    struct stat status {};
    return ::fstat(archive, &status) == 0 &&
           record.device == static_cast<std::uint64_t>(status.st_dev) &&
           record.inode == static_cast<std::uint64_t>(status.st_ino) &&
           precedingChecksum(archive, record.tailOffset) == record.precedingChecksum;
}

void restoreFromJournal(const JournalRecord& record, int archive, const std::string& archivePath) {
    // The old tail first, then the length: repeating this after an interruption gives the same.
    if (!writeAllAt(archive, record.tail.data(), record.tail.size(), record.tailOffset) ||
        ::ftruncate(archive, static_cast<off_t>(record.originalLength)) != 0 ||
        ::fsync(archive) != 0) {
        throw posixFileError(errno, archivePath);
    }
}

UniqueFile openStreamWithTail(UniqueFd archive, std::uint64_t tailOffset, Bytes tail) {
    auto state = std::make_unique<TailedStream>(TailedStream{
        .file = std::move(archive), .tailOffset = tailOffset, .tail = std::move(tail)});
    cookie_io_functions_t functions{};
    functions.read = readTailed;
    functions.seek = seekTailed;
    functions.close = closeTailed;
    UniqueFile stream(::fopencookie(state.get(), "rb", functions));
    if (stream) static_cast<void>(state.release());  // the stream owns it now
    return stream;
}

bool tryLockFile(int descriptor, bool exclusive) {
    const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (;;) {
        if (::flock(descriptor, operation) == 0) return true;
        if (errno == EWOULDBLOCK) return false;
        // A file system without locks: there is nothing to wait for.
        if (errno != EINTR) return true;
    }
}

void lockFile(int descriptor, bool exclusive, const std::string& path) {
    const int operation = exclusive ? LOCK_EX : LOCK_SH;
    for (;;) {
        if (::flock(descriptor, operation) == 0) return;
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return;
        if (errno != EINTR) throw posixFileError(errno, path);
    }
}

void unlockFile(int descriptor) {
    ::flock(descriptor, LOCK_UN);
}

}  // namespace marrowzip

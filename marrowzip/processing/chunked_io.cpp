#include "marrowzip/processing/chunked_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"

namespace marrowzip {
namespace {

// The first block read from a stream of unknown length, and the room kept to find the end of a
// regular file.
constexpr std::int64_t firstBlockSize = std::int64_t{64} * 1024;

// How many bytes the stream can still deliver, when it can tell: a regular file's size minus
// the position. Absent (-1) for pipes, in-memory streams and anything else.
std::int64_t knownRemainingLength(std::FILE* stream) {
    const int descriptor = ::fileno(stream);
    if (descriptor < 0) return -1;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    const off_t position = ::ftello(stream);
    if (position < 0) return -1;
    return std::max<std::int64_t>(status.st_size - position, 0);
}

// Appends up to `count` bytes read at the stream's position; returns how many came.
std::size_t appendFromStream(Bytes& buffer, std::size_t count, std::FILE* stream) {
    const std::size_t before = buffer.size();
    buffer.resize(before + count);
    const std::size_t n = std::fread(buffer.data() + before, 1, count, stream);
    buffer.resize(before + n);
    return n;
}

}  // namespace

Bytes readStreamChunk(std::int64_t size, std::FILE* stream) {
    if (size <= 0) {
        if (std::ferror(stream)) throw Error(DataError::unreadableFile);
        return {};
    }
    // The size may come from a damaged record (a central directory size, a comment length):
    // the allocation follows what the stream still holds, not what was asked for. What a
    // regular file still holds is read in one go, with room for one more block to find its end
    // (or what it has grown by) without reallocating. Other streams are read in blocks that
    // double with what was delivered, so memory stays within about twice the bytes read.
    // A request of one block bounds the allocation by itself: the two system calls that find
    // the remainder would cost more than the read (a listing asks this for every entry).
    const auto wanted = static_cast<std::uint64_t>(size);
    const std::int64_t remaining =
        size > firstBlockSize ? knownRemainingLength(stream) : std::int64_t{-1};
    Bytes buffer;
    if (remaining >= 0) {
        buffer.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
            wanted, static_cast<std::uint64_t>(remaining) + firstBlockSize)));
    }
    // fread is called at least once, so that a read on a write-only stream sets the error
    // indicator as it should.
    std::uint64_t block =
        std::min<std::uint64_t>(wanted, remaining > 0 ? remaining : firstBlockSize);
    std::uint64_t growth = firstBlockSize;
    while (appendFromStream(buffer, static_cast<std::size_t>(block), stream) == block &&
           buffer.size() < wanted) {
        block = std::min<std::uint64_t>(wanted - buffer.size(), growth);
        growth = std::min<std::uint64_t>(growth * 2, std::uint64_t{1} << 40);
    }
    if (std::ferror(stream)) throw Error(DataError::unreadableFile);
    if (buffer.empty()) return {};  // releases the allocation at once
    return buffer;
}

UniqueFd openSourceDescriptor(const std::string& path) {
    UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!descriptor && errno == EACCES) throw Error(FileError::fileReadNoPermission, path);
    if (!descriptor) throw posixFileError(errno, path);
    return descriptor;
}

UniqueFile streamOver(UniqueFd descriptor, const char* mode, const std::string& path) {
    UniqueFile stream(::fdopen(descriptor.get(), mode));
    if (!stream) throw posixFileError(errno, path);
    static_cast<void>(descriptor.release());
    return stream;
}

std::uint64_t writeStreamChunk(ByteView data, std::FILE* stream) {
    std::size_t count = 0;
    if (!data.empty()) count = std::fwrite(data.data(), 1, data.size(), stream);
    if (std::ferror(stream)) throw writeFailure();
    return count;
}

Error writeFailure(std::string path) {
    const int error = errno;
    const char* detail = error == ENOSPC   ? "no space left on device"
                         : error == EDQUOT ? "disk quota exceeded"
                                           : "";
    return Error(DataError::unwritableFile, std::move(path), {}, detail);
}

std::uint64_t writeStreamInPieces(ByteView data, std::uint64_t size, std::int64_t pieceSize,
                                  std::FILE* stream) {
    if (pieceSize < 1) throw Error(ArchiveError::invalidBufferSize);
    // A buffer read near the end of a damaged archive can be shorter than the size its record
    // claims: only the bytes that exist are written, and only those are counted.
    const std::uint64_t total = std::min<std::uint64_t>(size, data.size());
    std::uint64_t position = 0;
    while (position < total) {
        const std::uint64_t n = std::min(total - position, static_cast<std::uint64_t>(pieceSize));
        std::fwrite(data.data() + position, 1, static_cast<std::size_t>(n), stream);
        position += n;
    }
    if (std::ferror(stream)) throw writeFailure();
    return total;
}

ssize_t readAllAt(int descriptor, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(descriptor, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool writeAllAt(int descriptor, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(descriptor, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool writeAllAt(int descriptor, std::span<const ByteView> parts, std::uint64_t offset) {
    std::vector<iovec> vectors;
    vectors.reserve(parts.size());
    for (const ByteView part : parts) {
        // iovec's base is not const, but pwritev only reads through it.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        if (!part.empty()) vectors.push_back({const_cast<std::uint8_t*>(part.data()), part.size()});
    }
    const long most = ::sysconf(_SC_IOV_MAX);
    const std::size_t batch = most > 0 ? static_cast<std::size_t>(most) : 16;
    std::size_t next = 0;
    while (next < vectors.size()) {
        const int count = static_cast<int>(std::min(batch, vectors.size() - next));
        const ssize_t n = ::pwritev(descriptor, &vectors[next], count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        // Past what was written: whole parts, then into the one it stopped in.
        offset += static_cast<std::uint64_t>(n);
        auto left = static_cast<std::size_t>(n);
        while (left > 0 && left >= vectors[next].iov_len)
            left -= vectors[next++].iov_len;
        if (left > 0) {
            vectors[next].iov_base = static_cast<std::uint8_t*>(vectors[next].iov_base) + left;
            vectors[next].iov_len -= left;
        }
    }
    return true;
}

std::uint32_t copyStoredData(std::int64_t size, std::int64_t bufferSize, bool skipChecksum,
                             const EntryDataProvider& provider, const EntryDataConsumer& consumer) {
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
    if (size <= 0) {
        consumer(ByteView{});
        return 0;
    }
    std::int64_t chunk = std::min(bufferSize, size);
    std::int64_t position = 0;
    std::uint32_t checksum = 0;
    while (position < size) {
        chunk = std::min(chunk, size - position);
        const Bytes data = provider(position, chunk);
        consumer(data);
        if (!skipChecksum) checksum = updateCRC32(data, checksum);
        // Advance by what was asked for: a provider that delivers less (the archive ends early)
        // still gets the same sequence of requests.
        position += chunk;
    }
    return checksum;
}

}  // namespace marrowzip

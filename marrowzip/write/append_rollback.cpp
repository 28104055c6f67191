// Undoing an append that failed after it started writing, and cutting the archive stream to
// length, for files and for in-memory archives alike.
#include <unistd.h>

#include <cerrno>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

void Archive::truncateArchive(std::uint64_t length) {
    const std::string archivePath = url_.displayPath();
    if (std::fflush(archiveFile_.get()) != 0) throw writeFailure(archivePath);
    if (memoryFile_) {
        // An in-memory stream has no descriptor to truncate: a shorter copy takes its place.
        const Bytes& data = memoryFile_->data();
        if (data.size() <= length) return;
        auto replacement = MemoryFile::make(
            Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
        UniqueFile stream = replacement->openStream("rb+");
        if (!stream) throw Error(ArchiveError::unwritableArchive, archivePath);
        archiveFile_ = std::move(stream);
        memoryFile_ = std::move(replacement);
        return;
    }
    if (::ftruncate(::fileno(archiveFile_.get()), static_cast<off_t>(length)) != 0) {
        throw posixFileError(errno, archivePath);
    }
}

void Archive::rollbackAppend(std::uint64_t headerOffset, const CentralDirectoryCache& saved,
                             std::int64_t bufferSize) {
    // The failure being undone may be a write error (a full disk): its buffered bytes are gone
    // with the failed flush, and the stream's error flag must not fail the writes below.
    std::fflush(archiveFile_.get());
    std::clearerr(archiveFile_.get());
    truncateArchive(headerOffset);
    std::FILE* stream = archiveFile_.get();
    seekStream(stream, headerOffset);
    // The tail as it was read from the archive, byte for byte: the central directory and
    // everything behind it.
    writeStreamInPieces(saved.records, saved.records.size(), bufferSize, stream);
    writeStreamChunk(saved.trailingBytes, stream);
    if (std::fflush(stream) != 0) throw writeFailure(url_.displayPath());
}

}  // namespace marrowzip

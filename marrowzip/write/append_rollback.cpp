// Undoing an append that failed after it started writing, and cutting the archive stream to
// length, for files and for in-memory archives alike.
#include <unistd.h>

#include <cerrno>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/write/archive_writer.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

void ArchiveWriter::truncateArchive(std::uint64_t length) {
    const std::string archivePath = archivePathForErrors();
    if (std::fflush(reader_.archiveFile_.get()) != 0) throw writeFailure(archivePath);
    if (reader_.memoryFile_) {
        // An in-memory stream has no descriptor to truncate: a shorter copy takes its place.
        const Bytes& data = reader_.memoryFile_->data();
        if (data.size() <= length) return;
        auto replacement = MemoryFile::make(
            Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
        UniqueFile stream = replacement->openStream("rb+");
        if (!stream) throw Error(ArchiveError::unwritableArchive, archivePath);
        reader_.archiveFile_ = std::move(stream);
        reader_.memoryFile_ = std::move(replacement);
        return;
    }
    if (::ftruncate(::fileno(reader_.archiveFile_.get()), static_cast<off_t>(length)) != 0) {
        throw posixFileError(errno, archivePath);
    }
}

void ArchiveWriter::rollbackAppend(std::uint64_t headerOffset, const CentralDirectoryCache& saved,
                                   std::int64_t bufferSize) {
    // The failure being undone may be a write error (a full disk): its buffered bytes are gone
    // with the failed flush, and the stream's error flag must not fail the writes below.
    std::fflush(reader_.archiveFile_.get());
    std::clearerr(reader_.archiveFile_.get());
    truncateArchive(headerOffset);
    std::FILE* stream = reader_.archiveFile_.get();
    seekStream(stream, headerOffset);
    // The tail as it was read from the archive, byte for byte: the central directory and
    // everything behind it.
    writeStreamInPieces(saved.records, saved.records.size(), bufferSize, stream);
    writeStreamChunk(saved.trailingBytes, stream);
    if (std::fflush(stream) != 0) throw writeFailure(archivePathForErrors());
}

}  // namespace marrowzip

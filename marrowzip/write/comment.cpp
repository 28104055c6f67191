// The archive comment: read from the end record, and written with a new copy of the central
// directory and end records behind the entries.
#include <cstdint>
#include <string>
#include <string_view>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

std::string Archive::comment() const {
    const Bytes& data = endOfCentralDirectoryRecord_.zipFileCommentData;
    return {data.begin(), data.end()};
}

void Archive::setComment(std::string_view comment, std::int64_t bufferSize) {
    const std::string archivePath = url_.displayPath();
    refuseDuringBulkAppend("changing the comment");
    if (accessMode_ == AccessMode::read) throw Error(ArchiveError::unwritableArchive, archivePath);
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    if (comment.size() > UINT16_MAX) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "the comment is longer than 65535 bytes");
    }
    if (comment.find(std::string_view("PK\x05\x06", 4)) != std::string_view::npos) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "the comment holds the signature of an end record");
    }

    const std::uint64_t start = beginOverwritingDirectory(bufferSize);
    const CentralDirectoryCache* saved = &*centralDirectoryCache_;
    const EndOfCentralDirectoryRecord before = endOfCentralDirectoryRecord_;
    endOfCentralDirectoryRecord_.zipFileCommentData = Bytes(comment.begin(), comment.end());
    endOfCentralDirectoryRecord_.zipFileCommentLength = static_cast<std::uint16_t>(comment.size());
    WrittenEndRecords written;
    try {
        seekStream(archiveFile_.get(), start);
        written = writeCentralDirectoryAndEndRecords(start, {}, 0, bufferSize);
        // A shorter comment than before leaves old bytes behind the new end record.
        truncateArchive(start + saved->records.size() + written.bytes.size());
        endOverwritingDirectory();
    } catch (...) {
        endOfCentralDirectoryRecord_ = before;
        try {
            rollbackAppend(start, *saved, bufferSize);
            endOverwritingDirectory();
        } catch (const Error& rollbackError) {
            throw rollbackError.withContext(archivePath);
        }
        try {
            throw;
        } catch (const Error& error) {
            throw error.withContext(archivePath);
        }
    }
    adoptWrittenDirectory(start, {}, std::move(written));
}

}  // namespace marrowzip

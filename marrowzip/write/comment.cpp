// The archive comment: read from the end record, and written with a new copy of the central
// directory and end records behind the entries.
#include <cstdint>
#include <string>
#include <string_view>

#include "marrowzip/write/archive_writer.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {

std::string ArchiveWriter::comment() const {
    const Bytes& data = reader_.endRecords_.endRecord.zipFileCommentData;
    return {data.begin(), data.end()};
}

void ArchiveWriter::checkComment(std::string_view comment, const std::string& archivePath) {
    if (comment.size() > UINT16_MAX) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "the comment is longer than 65535 bytes");
    }
    if (comment.find(std::string_view("PK\x05\x06", 4)) != std::string_view::npos) {
        throw Error(ArchiveError::unwritableArchive, archivePath, {},
                    "the comment holds the signature of an end record");
    }
}

void ArchiveWriter::setComment(std::string_view comment, std::int64_t bufferSize) {
    const std::string archivePath = archivePathForErrors();
    refuseDuringBulkAppend("changing the comment");
    if (reader_.accessMode_ == AccessMode::read) {
        throw Error(ArchiveError::unwritableArchive, archivePath);
    }
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    checkComment(comment, archivePath);

    const EndOfCentralDirectoryRecord before = reader_.endRecords_.endRecord;
    WrittenEndRecords written;
    std::uint64_t start = 0;
    try {
        overwriteDirectory(bufferSize, {}, [&](std::uint64_t directoryStart) {
            start = directoryStart;
            EndOfCentralDirectoryRecord& record = reader_.endRecords_.endRecord;
            record.zipFileCommentData = Bytes(comment.begin(), comment.end());
            record.zipFileCommentLength = static_cast<std::uint16_t>(comment.size());
            seekStream(reader_.archiveFile_.get(), start);
            written = writeCentralDirectoryAndEndRecords(start, {}, 0, bufferSize);
            // A shorter comment than before leaves old bytes behind the new end record.
            truncateArchive(start + centralDirectoryCache_->records.size() + written.bytes.size());
        });
    } catch (...) {
        reader_.endRecords_.endRecord = before;
        throw;
    }
    adoptWrittenDirectory(start, {}, std::move(written));
}

}  // namespace marrowzip

// Writing a new archive to a stream that cannot seek (a pipe, standard output). Each entry's
// local header goes out before its data and is never written again: an entry whose data fits
// one buffer is compressed first and its header carries the real sizes and CRC-32; a larger one
// sets flag bit 3 and carries them in a data descriptor behind its data (with 64-bit sizes when
// its local header has a ZIP64 block). The central directory and end records follow the last
// entry. Only the bytes of the archive reach the stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {

class AppendCoders;
class Progress;

class ArchiveStreamWriter {
public:
    struct Options {
        int level = defaultCompressionLevel;  // 0 stores; 1 … 9 deflate
        std::string comment;                  // the archive comment
        // A file that deflate does not make smaller is stored instead. Only a file whose data
        // fits one buffer can be: a larger one is on its way before its compressed size is known.
        bool storeIfNotSmaller = true;
        std::int64_t bufferSize = defaultChunkSize;
    };

    // Writes to `sink`; `name` stands for it in errors. Throws for a comment that no end record
    // can hold, or a level or buffer size out of range.
    ArchiveStreamWriter(UniqueFile sink, FileURL name, Options options);
    ArchiveStreamWriter(const ArchiveStreamWriter&) = delete;
    ArchiveStreamWriter& operator=(const ArchiveStreamWriter&) = delete;
    ~ArchiveStreamWriter();

    // Appends a file, folder or link (stored as a link, never followed) under `path`. After a
    // failure the stream holds a partial entry: the archive cannot be finished.
    void appendEntry(std::string_view path, const FileURL& itemURL, Progress* progress = nullptr);
    // Writes the central directory and end records and flushes the stream.
    void finish();

private:
    using PendingEntry = ArchiveWriter::PendingEntry;
    void write(ByteView bytes);
    LocalFileHeader writeBufferedEntry(PendingEntry& entry, ArchiveWriter::EntrySource source,
                                       Progress* progress);
    LocalFileHeader writeEntryWithDescriptor(const PendingEntry& entry,
                                             const ArchiveWriter::EntrySource& source,
                                             Progress* progress);
    void refuseAfterFailure(std::string_view path) const;

    // An archive that is never opened: it lends the stream, the end record (with the comment)
    // and the steps of appending that do not seek.
    ArchiveReader reader_;
    ArchiveWriter writer_;
    Options options_;
    std::unique_ptr<AppendCoders> coders_;
    Bytes centralRecords_;  // the serialized central directory headers so far
    std::uint64_t entryCount_ = 0;
    std::uint64_t offset_ = 0;  // bytes written: the offset of what comes next
    bool failed_ = false;
    bool finished_ = false;
};

}  // namespace marrowzip

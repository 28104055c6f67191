// The reading side of an open archive (internal): its stream, the end records found in it, the
// pass over the central directory, lookup by name and an entry's bytes. The writer
// (write/archive_writer.hpp) changes this state as it rewrites the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/format/records.hpp"
#include "marrowzip/read/entry_iterator.hpp"

namespace marrowzip {

class MemoryBudget;
class MemoryFile;
class PositionalWindow;
class Progress;

// The end records of an archive: the classic one, and the ZIP64 ones when they are there. The
// totals come from the ZIP64 end record when there is one.
struct EndRecords {
    EndOfCentralDirectoryRecord endRecord;
    std::optional<ZIP64EndOfCentralDirectory> zip64EndRecords;

    std::uint64_t totalNumberOfEntries() const noexcept;
    std::uint64_t sizeOfCentralDirectory() const noexcept;
    std::uint64_t offsetToStartOfCentralDirectory() const noexcept;
};
// The end-record search: the record closest to the end of the stream wins.
std::optional<EndRecords> locateEndRecords(std::FILE* stream);

// The longest link target accepted: longer targets cannot be created anyway, and an entry that
// claims one is refused before any of its bytes are read.
std::int64_t maximumLinkTargetLength();

// The bytes of local headers that one pass over the central directory may read. Local headers
// lie before the central directory and do not overlap in a sound archive, so together they
// never hold more bytes than that (the allowance has 1 MiB besides). Central records that all
// point at one large local header would otherwise make a pass read it again for every record.
std::uint64_t localHeaderAllowance(const EndRecords& endRecords) noexcept;
// Counts a header of `length` bytes against what is `left`; false once it is not enough.
bool takeLocalHeaderBytes(std::uint64_t& left, std::uint64_t length) noexcept;

// An entry's local records, read through `window` once its central record is read: the local
// header (whole when its name and extra field take at most `tailLimit` bytes, else its fixed
// part alone, which places the record) and the data descriptor that the central record
// announces. False when they cannot be read.
constexpr std::size_t wholeLocalHeader = SIZE_MAX;
bool readLocalRecords(PositionalWindow& window, Entry& entry, std::size_t tailLimit);

class ArchiveReader {
public:
    // Opens (or, with `create`, first creates: never over an existing file) a ZIP file, with
    // the locks and journal recovery that Archive::openFile describes.
    static std::unique_ptr<ArchiveReader> openFile(const FileURL& url, AccessMode mode,
                                                   const OpenOptions& options);
    static std::unique_ptr<ArchiveReader> openMemoryFile(std::shared_ptr<MemoryFile> file,
                                                         AccessMode mode,
                                                         std::optional<std::string> pathEncoding);
    ArchiveReader(FileURL url, AccessMode mode, std::optional<std::string> pathEncoding);
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    ~ArchiveReader();

    const FileURL& url() const noexcept { return url_; }
    // The text that errors use as the archive's path ("memory:/" for an in-memory archive).
    std::string displayPath() const { return url_.displayPath(); }
    AccessMode accessMode() const noexcept { return accessMode_; }
    std::FILE* stream() const noexcept { return archiveFile_.get(); }
    std::optional<Bytes> data() const;

    const EndRecords& endRecords() const noexcept { return endRecords_; }

    // Refuses while the directory on disk is being overwritten (an open bulk append).
    EntryIterator makeEntryIterator() const;
    // The same without the refusal, for a writer that knows the directory is still whole.
    EntryIterator passOverDirectory() const;
    std::optional<Entry> findEntry(std::string_view path) const;
    std::uint32_t extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                               std::int64_t bufferSize, bool skipChecksum, Progress* progress);
    void refuseWhileDirectoryOverwritten(const char* operation) const;

private:
    // Finds the end records in `stream` (named `path` in errors) and makes it the reader's, at
    // its start again for a writer.
    void takeStream(UniqueFile stream, const std::string& path);
    // Gives the file-backed stream `stream` its buffer, kept in streamBuffer_ (the old one goes
    // with the stream it served, which must be closed first). A writer's is large: the entries
    // of a tree of small files then cost one write(2) for many, not one each.
    static std::unique_ptr<char[]> bufferStream(std::FILE* stream, AccessMode mode);

    friend class Archive;
    friend class ArchiveWriter;
    friend class ArchiveStreamWriter;

    FileURL url_;
    AccessMode accessMode_;
    // The stdio buffer of a file-backed stream (glibc ignores the size when it allocates the
    // buffer itself). Declared before the stream so that the stream is closed first.
    std::unique_ptr<char[]> streamBuffer_;
    UniqueFile archiveFile_;
    EndRecords endRecords_;
    std::optional<std::string> pathEncoding_;
    std::shared_ptr<MemoryFile> memoryFile_;
    std::shared_ptr<MemoryBudget> memoryBudget_;
    // The path the journal of a file archive is kept beside (the archive's real path).
    std::string journalKey_;
    // Set by the writer while a bulk append overwrites the directory on disk.
    bool directoryOverwritten_ = false;
};

}  // namespace marrowzip

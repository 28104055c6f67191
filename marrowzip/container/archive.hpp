// The engine's handle on one ZIP archive, held in a file or in a byte buffer in memory.
// Constructing it opens the stream and finds the end records; destroying it closes the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/container/entry.hpp"
#include "marrowzip/container/records.hpp"

namespace marrowzip {

class Progress;
class MemoryFile;
class Archive;

// One pass over the central directory. Each step seeks before it reads, so other reads of the
// archive between two steps do not disturb it.
class EntryIterator {
public:
    std::optional<Entry> next();

    // Whether the pass ended before the number of entries the end records declare (a damaged
    // record, or an encrypted entry).
    bool endedEarly() const noexcept { return endedEarly_; }
    bool stoppedAtEncryptedEntry() const noexcept { return stoppedAtEncryptedEntry_; }

private:
    friend class Archive;
    EntryIterator(const Archive& archive, std::uint64_t count, std::uint64_t offset)
        : archive_(&archive), count_(count), recordOffset_(offset) {}

    const Archive* archive_;
    std::uint64_t count_;
    std::uint64_t recordOffset_;
    std::uint64_t index_ = 0;
    bool endedEarly_ = false;
    bool stoppedAtEncryptedEntry_ = false;
};

class Archive {
public:
    enum class AccessMode { create, read, update };
    using ArchiveError = marrowzip::ArchiveError;
    using EndOfCentralDirectoryRecord = marrowzip::EndOfCentralDirectoryRecord;
    using ZIP64EndOfCentralDirectoryRecord = marrowzip::ZIP64EndOfCentralDirectoryRecord;
    using ZIP64EndOfCentralDirectoryLocator = marrowzip::ZIP64EndOfCentralDirectoryLocator;
    using ZIP64EndOfCentralDirectory = marrowzip::ZIP64EndOfCentralDirectory;

    // Opens (or, with `create`, first creates: never over an existing file) a ZIP file.
    // `pathEncoding` is an optional ICU converter name used to decode names for lookup.
    static Archive openFile(const FileURL& url, AccessMode mode,
                            std::optional<std::string> pathEncoding = std::nullopt);
    // Opens a byte buffer as an archive; its URL is "memory:/".
    static Archive openMemory(Bytes data, AccessMode mode,
                              std::optional<std::string> pathEncoding = std::nullopt);
    // The same, answering absent instead of throwing.
    static std::optional<Archive> tryOpenFile(const FileURL& url, AccessMode mode,
                                              std::optional<std::string> pathEncoding = std::nullopt);
    static std::optional<Archive> tryOpenMemory(Bytes data, AccessMode mode,
                                                std::optional<std::string> pathEncoding = std::nullopt);

    Archive(Archive&&) noexcept;
    Archive& operator=(Archive&&) noexcept;
    ~Archive();

    const FileURL& url() const noexcept { return url_; }
    AccessMode accessMode() const noexcept { return accessMode_; }
    const std::optional<std::string>& pathEncoding() const noexcept { return pathEncoding_; }
    void setPathEncoding(std::optional<std::string> encoding) { pathEncoding_ = std::move(encoding); }
    // A copy of the current bytes of an in-memory archive; absent for a file archive.
    std::optional<Bytes> data() const;

    const EndOfCentralDirectoryRecord& endOfCentralDirectoryRecord() const noexcept {
        return endOfCentralDirectoryRecord_;
    }
    const std::optional<ZIP64EndOfCentralDirectory>& zip64EndOfCentralDirectory() const noexcept {
        return zip64EndOfCentralDirectory_;
    }

    // The central directory totals: from the ZIP64 end record when there is one, else from the
    // classic end record.
    std::uint64_t totalNumberOfEntries() const noexcept;
    std::uint64_t sizeOfCentralDirectory() const noexcept;
    std::uint64_t offsetToStartOfCentralDirectory() const noexcept;

    EntryIterator makeEntryIterator() const;
    // The first entry whose decoded path (with pathEncoding when set) is canonically equal.
    std::optional<Entry> findEntry(std::string_view path) const;

    // Range-for over the entries.
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = const Entry&;

        iterator() = default;
        const Entry& operator*() const { return *current_; }
        const Entry* operator->() const { return &*current_; }
        iterator& operator++();
        void operator++(int) { ++*this; }
        friend bool operator==(const iterator& a, const iterator& b) {
            return a.current_.has_value() == b.current_.has_value();
        }

    private:
        friend class Archive;
        explicit iterator(EntryIterator source);
        std::optional<EntryIterator> source_;
        std::optional<Entry> current_;
    };
    iterator begin() const;
    iterator end() const { return iterator(); }

    // The archive's own stream (for the operations of the engine and for tests).
    std::FILE* stream() const noexcept { return archiveFile_.get(); }

    // ---- Operations (defined in marrowzip/operations) ----

    // Adds a file, folder or link from the file system under `path`.
    void appendEntry(std::string_view path, const FileURL& itemURL,
                     CompressionMethod compressionMethod = CompressionMethod::none,
                     std::int64_t bufferSize = defaultChunkSize, Progress* progress = nullptr);
    // The same with the item at `baseURL` + `path`.
    struct RelativeTo {
        FileURL baseURL;
    };
    void appendEntry(std::string_view path, const RelativeTo& base,
                     CompressionMethod compressionMethod = CompressionMethod::none,
                     std::int64_t bufferSize = defaultChunkSize, Progress* progress = nullptr);
    // Adds an entry whose bytes come from `provider`.
    void appendEntry(std::string_view path, EntryType type, std::int64_t uncompressedSize,
                     Date modificationDate, std::optional<std::uint16_t> permissions,
                     CompressionMethod compressionMethod, std::int64_t bufferSize,
                     Progress* progress, const EntryDataProvider& provider);

    // Delivers an entry's bytes to `consumer`; returns their CRC-32 (0 with skipChecksum).
    std::uint32_t extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                               std::int64_t bufferSize = defaultChunkSize, bool skipChecksum = false,
                               Progress* progress = nullptr);
    // Creates the entry as a new file, folder or link at `destination`.
    std::uint32_t extractEntry(const Entry& entry, const FileURL& destination,
                               std::int64_t bufferSize = defaultChunkSize, bool skipChecksum = false,
                               bool allowLinksOutside = false, Progress* progress = nullptr);

    // Rewrites the archive without `entry`, through a temporary archive that takes its place.
    void removeEntry(const Entry& entry, std::int64_t bufferSize = defaultChunkSize,
                     Progress* progress = nullptr);

private:
    Archive(FileURL url, AccessMode mode, std::optional<std::string> pathEncoding);

    struct BackingStream {
        UniqueFile stream;
        EndOfCentralDirectoryRecord endRecord;
        std::optional<ZIP64EndOfCentralDirectory> zip64EndRecords;
        std::shared_ptr<MemoryFile> memoryFile;
    };
    static BackingStream openBackingStream(const FileURL& url, AccessMode mode);
    static BackingStream openBackingStream(Bytes data, AccessMode mode);

public:
    // The end-record search, exposed for tests and benchmarks.
    struct EndRecords {
        EndOfCentralDirectoryRecord endRecord;
        std::optional<ZIP64EndOfCentralDirectory> zip64EndRecords;
    };
    static std::optional<EndRecords> locateEndRecords(std::FILE* stream);
    static std::optional<ZIP64EndOfCentralDirectory> locateZIP64EndRecords(std::FILE* stream,
                                                                           std::uint64_t endRecordOffset);

private:
    FileURL url_;
    AccessMode accessMode_;
    UniqueFile archiveFile_;
    // The 16384-byte stdio buffer of a file-backed stream (glibc ignores the size when it
    // allocates the buffer itself). Declared after archiveFile_ so that a move assignment closes
    // the old stream before freeing its buffer; the destructor closes the stream first.
    std::unique_ptr<char[]> streamBuffer_;
    EndOfCentralDirectoryRecord endOfCentralDirectoryRecord_;
    std::optional<ZIP64EndOfCentralDirectory> zip64EndOfCentralDirectory_;
    std::optional<std::string> pathEncoding_;
    std::shared_ptr<MemoryFile> memoryFile_;

    // ---- State and steps of the operations (marrowzip/operations) ----
    // Helpers of appending, extracting and removing are declared below this line.
};

}  // namespace marrowzip

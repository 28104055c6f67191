// The engine's handle on one ZIP archive, held in a file or in a byte buffer in memory.
// Constructing it opens the stream and finds the end records; destroying it closes the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/format/records.hpp"
#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {

class Progress;
class MemoryFile;
class MemoryBudget;
class AppendCoders;
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
    // What every front end reports for such a pass: where the directory ended, after how many
    // of the declared entries.
    Error earlyEndError(std::string archivePath) const;

private:
    friend class Archive;
    // A pass over the entry count the end records declare, from the record at `offset`.
    EntryIterator(const Archive& archive, std::uint64_t offset);

    // Local headers lie before the central directory and do not overlap in a sound archive, so
    // together they never hold more bytes than that. Central records that all point at one
    // large local header would otherwise make a pass read it again for every record.
    static constexpr std::uint64_t localHeaderSlack = 1 << 20;
    std::uint64_t localHeaderBytesRead_ = 0;

    const Archive* archive_;
    std::uint64_t count_;
    std::uint64_t recordOffset_;
    std::uint64_t index_ = 0;
    bool endedEarly_ = false;
    bool stoppedAtEncryptedEntry_ = false;
};

// How an entry is appended: its method (a folder or link is always stored), the size of the
// pieces read and written, and the progress of this entry, e.g.
// `archive.appendEntry("a.txt", url, {.compressionMethod = CompressionMethod::deflate})`.
struct AppendOptions {
    CompressionMethod compressionMethod = CompressionMethod::none;
    std::int64_t bufferSize = defaultChunkSize;
    Progress* progress = nullptr;
};

// What the file system tells of an item and a provider cannot: the entry's type, size
// (ignored for a folder), modification date and permissions (the type's default when
// absent).
struct ProvidedEntry {
    EntryType type = EntryType::file;
    std::int64_t uncompressedSize = 0;
    Date modificationDate = 0;
    std::optional<std::uint16_t> permissions = {};
};

// How a bulk append compresses. With more than one worker, a file appended from the file
// system is queued: appendEntry returns at once, workers read and compress it into memory
// (a file larger than the budget in blocks, several at a time) and later appends and finish()
// write the queued entries, in the order they were appended, so that the archive is laid out
// as by one thread. The error of a queued entry is thrown by the call that comes to write
// it and names that entry; the entries before it are in the archive, the failing one is not,
// nor is the entry of the call that throws. Entries queued behind it are written by later
// appends; when the bulk append ends (finish(), destruction, also while unwinding), the
// queue is written up to its first failed entry and the rest dropped. An entry's Progress
// must live until the bulk append ends (a child of a longer-lived Progress does). Appends
// through a provider, and all appends outside bulk mode, run on the caller's thread.
struct BulkOptions {
    unsigned workers = 0;  // 0: one per core; 1: no worker threads
    // The memory all workers together may hold in data waiting to be compressed or
    // written, whatever their number; each gets an equal part.
    std::uint64_t memoryBudget = defaultMemoryBudget;
    // A file that deflate does not make smaller is stored instead (the method asked for is
    // otherwise the method written).
    bool storeIfNotSmaller = false;
    // Keeps the entries only when finish() succeeds: a failed append, a failed finish() or
    // the end of the bulk append without finish() puts the archive back as it was before
    // the bulk append began.
    bool allOrNothing = false;
    // How hard deflate works, from fastestCompressionLevel to smallestCompressionLevel
    // (others throw ArchiveError::invalidCompressionMethod). Stored entries ignore it.
    int level = defaultCompressionLevel;
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
    //
    // A file archive opened with `update` or `create` holds an exclusive advisory lock (flock)
    // on the file while it is open: a second writer waits for it (see OpenOptions). Opening
    // first rolls back an update that a killed process left unfinished (its journal beside the
    // archive). A new archive appears under its name complete, never half-written.
    // A `read` archive takes no lock once open; while another process is updating the file,
    // it reads the archive as it was before that update began.
    static Archive openFile(const FileURL& url, AccessMode mode,
                            std::optional<std::string> pathEncoding = std::nullopt);
    struct OpenOptions {
        std::optional<std::string> pathEncoding;
        // Whether a writer waits for another writer's lock, or fails at once.
        bool waitForOtherWriter = true;
        // Called once, before waiting for another writer.
        std::function<void()> onWaiting;
    };
    static Archive openFile(const FileURL& url, AccessMode mode, const OpenOptions& options);
    // Opens a byte buffer as an archive; its URL is "memory:/".
    static Archive openMemory(Bytes data, AccessMode mode,
                              std::optional<std::string> pathEncoding = std::nullopt);
    // The same over a buffer that the caller shares (tests arm its transfer gate to make the
    // archive storage fail).
    static Archive openMemoryFile(std::shared_ptr<MemoryFile> file, AccessMode mode,
                                  std::optional<std::string> pathEncoding = std::nullopt);
    // The same, answering absent instead of throwing.
    static std::optional<Archive> tryOpenFile(
        const FileURL& url, AccessMode mode,
        std::optional<std::string> pathEncoding = std::nullopt);
    static std::optional<Archive> tryOpenMemory(
        Bytes data, AccessMode mode, std::optional<std::string> pathEncoding = std::nullopt);

    Archive(Archive&&) noexcept;
    Archive& operator=(Archive&&) noexcept;
    ~Archive();

    const FileURL& url() const noexcept { return url_; }
    AccessMode accessMode() const noexcept { return accessMode_; }
    const std::optional<std::string>& pathEncoding() const noexcept { return pathEncoding_; }
    void setPathEncoding(std::optional<std::string> encoding) {
        pathEncoding_ = std::move(encoding);
    }
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
                     const AppendOptions& options = {});
    // The same with the item at `baseURL` + `path`.
    struct RelativeTo {
        FileURL baseURL;
    };
    void appendEntry(std::string_view path, const RelativeTo& base,
                     const AppendOptions& options = {});
    // Adds an entry whose bytes come from `provider`.
    void appendEntry(std::string_view path, const ProvidedEntry& entry,
                     const EntryDataProvider& provider, const AppendOptions& options = {});

    // Delivers an entry's bytes to `consumer`; returns their CRC-32 (0 with skipChecksum).
    std::uint32_t extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                               std::int64_t bufferSize = defaultChunkSize,
                               bool skipChecksum = false, Progress* progress = nullptr);
    // Threads that extract from their own Archive of one file share one budget: an entry is
    // inflated as a whole only while its buffers fit in it. Without one, the archive keeps to
    // the whole-buffer limit of one entry.
    void shareMemoryBudget(std::shared_ptr<MemoryBudget> budget) {
        memoryBudget_ = std::move(budget);
    }
    // Creates the entry as a new file, folder or link at `destination`.
    std::uint32_t extractEntry(const Entry& entry, const FileURL& destination,
                               std::int64_t bufferSize = defaultChunkSize,
                               bool skipChecksum = false, bool allowLinksOutside = false,
                               Progress* progress = nullptr);

    // ---- Bulk appends (marrowzip/write/append_bulk.cpp) ----
    // Outside bulk mode each append rewrites the whole central directory behind its entry, so N
    // appends cost O(N²). While a BulkAppend is open, each appendEntry writes its local record and
    // data where the central directory began and keeps its central directory header in memory;
    // the directory and end records are written once, when the bulk append ends. Its coders are
    // set up once (one set per worker, see BulkOptions) and reset between entries.
    //
    // Every way out writes them: finish(), the BulkAppend's destruction (during unwinding too),
    // and a failed append: that entry is cut off and the directory of the ones before it written
    // at once, so the file is a valid archive holding them before the error reaches the caller,
    // who may go on appending in the same bulk append. Moving or destroying the archive ends an
    // open bulk append first (an error then waits for finish()).
    // While it is open, listing entries and removeEntry refuse (the directory on disk is being
    // overwritten); extracting an entry listed before it began still works.
    struct BulkState;
    class BulkAppend {
    public:
        BulkAppend(BulkAppend&&) noexcept = default;
        BulkAppend& operator=(BulkAppend&& other) noexcept;
        BulkAppend(const BulkAppend&) = delete;
        BulkAppend& operator=(const BulkAppend&) = delete;
        // Ends the bulk append; an error is swallowed here: call finish() to learn of it.
        ~BulkAppend();

        // Writes the central directory and end records and ends the bulk append. Throws what
        // the write threw, or what an earlier end (a move or destruction of the archive) met.
        void finish();
        bool isOpen() const noexcept;

    private:
        friend class Archive;
        explicit BulkAppend(std::shared_ptr<BulkState> state) : state_(std::move(state)) {}
        std::shared_ptr<BulkState> state_;
    };
    using BulkOptions = marrowzip::BulkOptions;
    // Throws for a read-only archive and while another bulk append is open.
    [[nodiscard]] BulkAppend beginBulkAppend(std::int64_t bufferSize = defaultChunkSize,
                                             const BulkOptions& options = {});
    bool isBulkAppendOpen() const noexcept { return bulkLink_.state != nullptr; }

    // Rewrites the archive without `entry`, through a temporary archive that takes its place.
    void removeEntry(const Entry& entry, std::int64_t bufferSize = defaultChunkSize,
                     Progress* progress = nullptr);
    // The same for several entries at once: all of them go, in one replacement, or none.
    void removeEntries(const std::vector<Entry>& entries,
                       std::int64_t bufferSize = defaultChunkSize, Progress* progress = nullptr);

    // The archive comment, stored in the end record: its bytes as they are (most writers use
    // UTF-8 or plain ASCII).
    std::string comment() const;
    // Rewrites the central directory and end records with `comment` (at most 65535 bytes, and
    // never the end record's signature, which would mislead a reader searching for it), under
    // the same journal as an append: a failure leaves the archive as it was.
    void setComment(std::string_view comment, std::int64_t bufferSize = defaultChunkSize);

private:
    Archive(FileURL url, AccessMode mode, std::optional<std::string> pathEncoding);

    struct BackingStream {
        UniqueFile stream;
        EndOfCentralDirectoryRecord endRecord;
        std::optional<ZIP64EndOfCentralDirectory> zip64EndRecords;
        std::shared_ptr<MemoryFile> memoryFile;
    };
    static BackingStream openBackingStream(const FileURL& url, AccessMode mode);
    static BackingStream openBackingStream(const FileURL& url, AccessMode mode,
                                           const OpenOptions& options);
    static BackingStream openBackingStream(Bytes data, AccessMode mode);

public:
    // The end-record search, exposed for tests and benchmarks.
    struct EndRecords {
        EndOfCentralDirectoryRecord endRecord;
        std::optional<ZIP64EndOfCentralDirectory> zip64EndRecords;
    };
    static std::optional<EndRecords> locateEndRecords(std::FILE* stream);
    static std::optional<ZIP64EndOfCentralDirectory> locateZIP64EndRecords(
        std::FILE* stream, std::uint64_t endRecordOffset);

private:
    // The archive's side of an open bulk append. Declared before the other members, so that its
    // move, which ends the bulk append by writing through the archive, runs while they are intact.
    struct BulkLink {
        BulkLink() = default;
        BulkLink(BulkLink&& other) noexcept;
        BulkLink& operator=(BulkLink&& other) noexcept;
        ~BulkLink() = default;
        std::shared_ptr<BulkState> state;
    };
    BulkLink bulkLink_;
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
    std::shared_ptr<MemoryBudget> memoryBudget_;
    // The path the journal of a file archive is kept beside (the archive's real path).
    std::string journalKey_;
    // Whether a journal of the tail on disk exists: from the first overwrite of the old central
    // directory until the new one is durable.
    bool journalOpen_ = false;

    // ---- State and steps of the operations (marrowzip/operations) ----
    // Helpers of appending, extracting and removing are declared below this line.

    // Appending and removing
    // The central directory as it stands on disk, read on the first append and kept up to date
    // by each append, so that a run of appends does not read it back every time.
    struct CentralDirectoryCache {
        std::uint64_t offset = 0;
        Bytes records;        // the central directory headers
        Bytes trailingBytes;  // everything behind them to the end of the stream: the end records
    };
    std::optional<CentralDirectoryCache> centralDirectoryCache_;

    // Where an entry's bytes come from, and whom to name when they disagree with its size.
    struct EntrySource {
        EntryDataProvider provider;
        // Called once the announced bytes have been read; fails when the source holds more.
        std::function<void()> verifyExhausted;
        std::string path;  // the source named in errors; empty: the archive itself
    };
    // An entry about to be appended, its inputs checked and converted to record values.
    struct PendingEntry {
        std::string path;  // UTF-8; a directory's ends in "/"
        EntryType type = EntryType::file;
        std::uint64_t uncompressedSize = 0;
        CompressionMethod compressionMethod = CompressionMethod::none;
        std::uint16_t lastModFileTime = 0;
        std::uint16_t lastModFileDate = 0;
        // The exact modification time; absent when the date lies beyond the 32-bit field.
        std::optional<ExtendedTimestamp> timestamp;
        std::uint32_t externalFileAttributes = 0;
        bool zip64Sizes = false;  // whether the local header carries its sizes in a ZIP64 block
    };
    struct EntryDataResult {
        std::uint64_t written = 0;
        std::uint32_t crc32 = 0;
    };
    struct WrittenEndRecords {
        EndRecords records;
        Bytes bytes;  // as written: [ZIP64 record, ZIP64 locator,] end record
    };
    struct WrittenEntry {
        CentralDirectoryStructure record;
        std::uint64_t end = 0;  // the offset behind its data
    };

    // The file-system form of appendEntry, on the caller's thread and through the queue.
    void appendItem(std::string_view path, const FileURL& itemURL, const AppendOptions& options,
                    const struct stat& status);
    void appendItemToQueue(std::string_view path, const FileURL& itemURL,
                           const AppendOptions& options);
    void appendEntryFromSource(std::string_view path, const ProvidedEntry& provided,
                               const AppendOptions& options, const EntrySource& source);
    PendingEntry prepareEntry(std::string_view path, const ProvidedEntry& provided,
                              CompressionMethod compressionMethod) const;
    const CentralDirectoryCache& loadCentralDirectory(std::int64_t bufferSize);
    // Refuses (before anything is written) an archive that cannot be read whole: a central
    // directory that ends early, records that point outside it or end records that disagree
    // with where they lie in the file (data after the archive, or before it with offsets that
    // were not adjusted).
    void ensureReadableWhole(const char* operation) const;
    // Loads the central directory and journals the tail from it: called before the first byte
    // of the directory is overwritten. Returns the directory's offset.
    std::uint64_t beginOverwritingDirectory(std::int64_t bufferSize);
    // Makes the new tail durable and removes the journal.
    void endOverwritingDirectory();
    LocalFileHeader writeLocalFileHeader(const PendingEntry& entry, std::uint64_t compressedSize,
                                         std::uint32_t crc32);
    // Writes the local record and data at `headerOffset`.
    WrittenEntry writeEntry(std::uint64_t headerOffset, const PendingEntry& entry,
                            std::int64_t bufferSize, Progress* progress, const EntrySource& source,
                            AppendCoders& coders);
    // Hands the stored (or compressed) bytes of the entry to `sink`.
    EntryDataResult writeEntryData(const PendingEntry& entry, std::int64_t bufferSize,
                                   Progress* progress, const EntrySource& source,
                                   AppendCoders& coders, const EntryDataConsumer& sink);
    static CentralDirectoryStructure makeCentralDirectoryRecord(const LocalFileHeader& header,
                                                                std::uint64_t relativeOffset,
                                                                const PendingEntry& entry);
    // Writes the cached central directory at `start`, then `addedRecords` (`addedCount` serialized
    // headers), then fresh end records.
    WrittenEndRecords writeCentralDirectoryAndEndRecords(std::uint64_t start, ByteView addedRecords,
                                                         std::uint64_t addedCount,
                                                         std::int64_t bufferSize);
    // Makes a directory just written at `start` the archive's current one.
    void adoptWrittenDirectory(std::uint64_t start, ByteView addedRecords,
                               WrittenEndRecords written);
    void appendInBulk(BulkState& bulk, const PendingEntry& entry, std::int64_t bufferSize,
                      Progress* progress, const EntrySource& source);
    // Parallel bulk appends (marrowzip/write/append_parallel.cpp).
    struct BulkQueue;
    struct QueuedEntry;
    // A queue with the options' workers, or null for one worker.
    static std::unique_ptr<BulkQueue> makeBulkQueue(const BulkOptions& options);
    // The open bulk append's queue, or null when there is none or it has no workers.
    BulkQueue* bulkQueue() const noexcept;
    // Queues a file of known, non-zero size for the workers; `file` is open for reading.
    void queueFileInBulk(BulkState& bulk, PendingEntry entry, Progress* progress, UniqueFd file,
                         std::string sourcePath);
    // Queues an entry whose data the caller's thread produced (a folder, a link, an empty file).
    void queueReadyInBulk(BulkState& bulk, const PendingEntry& entry, std::int64_t bufferSize,
                          Progress* progress, const EntrySource& source);
    // For an append that failed before its entry was queued: writes everything queued before
    // it, then throws its error (or the error of an earlier entry that failed first).
    [[noreturn]] void failQueuedAppend(BulkState& bulk);
    // What writeQueuedEntries writes: what is compressed already, that plus at least the oldest
    // piece (waiting for it), or everything queued.
    enum class QueueWrite { ready, oldest, all };
    // Writes queued entries in order; throws the error of the first failed entry it comes to.
    void writeQueuedEntries(BulkState& bulk, QueueWrite mode);
    // Writes the next piece of a queued entry; the first writes its local header, the last
    // completes it and adds its central directory header.
    void writeQueuedPiece(BulkState& bulk, QueuedEntry& queued, ByteView data, std::uint32_t crc32,
                          std::uint64_t size, bool first, bool last);
    // Rewrites a queued entry that compression made no smaller as stored.
    void storeInstead(BulkState& bulk, QueuedEntry& queued);
    // The writer's buffer for copying sources, made on first use.
    // Copies a large stored file on the writer's thread, piece by piece.
    void copyQueuedEntry(BulkState& bulk, QueuedEntry& queued);
    // Writes the directory of the bulk's entries behind them; should that fail, cuts them off and
    // puts the directory as it was before them back.
    void writeBulkDirectory(BulkState& bulk);
    // In bulk mode, writes the directory of the entries before a failed append.
    void writeBulkDirectoryAfterFailure() noexcept;
    // Puts the archive back as it was before an all-or-nothing bulk append began.
    void abandonBulkEntries(BulkState& bulk);
    struct BulkFailureGuard {
        explicit BulkFailureGuard(Archive& owner) : archive(owner) {}
        ~BulkFailureGuard();
        BulkFailureGuard(const BulkFailureGuard&) = delete;
        BulkFailureGuard& operator=(const BulkFailureGuard&) = delete;
        Archive& archive;
        int exceptions = std::uncaught_exceptions();
    };
    // Writes what is queued, up to a failed entry, and the directory; ends the bulk append.
    // `keep`: the entries stay (finish()); otherwise an all-or-nothing bulk append is undone.
    void endBulkAppend(bool keep = true);
    void endBulkAppendKeepingError() noexcept;
    void refuseDuringBulkAppend(const char* operation) const;
    // Writes end records for the given totals at the stream's position (`endRecordsStart`),
    // keeping the comment and disk numbers of the current ones.
    WrittenEndRecords writeEndOfCentralDirectory(std::uint64_t entryCount,
                                                 std::uint64_t centralDirectorySize,
                                                 std::uint64_t centralDirectoryStart,
                                                 std::uint64_t endRecordsStart);
    void rollbackAppend(std::uint64_t headerOffset, const CentralDirectoryCache& saved,
                        std::int64_t bufferSize);
    // Cuts the archive's stream to `length` bytes (a memory archive gets a new, shorter buffer).
    void truncateArchive(std::uint64_t length);

    void ensureRemovable(const std::vector<Entry>& entries) const;
    void writeArchiveWithout(const std::vector<Entry>& entries, Archive& target,
                             std::int64_t bufferSize, Progress* progress) const;
    void copyLocalRecord(const Entry& entry, std::FILE* target, std::int64_t bufferSize,
                         Progress* progress) const;
    struct ByteRange {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    void copyArchiveBytes(ByteRange range, std::FILE* target, std::int64_t bufferSize,
                          Progress* progress) const;
    void adoptMemoryArchive(const Archive& temporary);
    void adoptFileArchive(Archive& temporary, const std::string& archivePath);
};

}  // namespace marrowzip

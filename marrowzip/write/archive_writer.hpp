// The writing side of an open archive (internal): the cached central directory, appends one at a
// time and in bulk (with the queue of the parallel bulk append), rollback of a failed append,
// removal through a replacement, the comment, and the journal that keeps an update safe from a
// kill. It writes through the reader's stream and keeps the reader's end records current.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/read/archive_reader.hpp"
#include "marrowzip/write/append_options.hpp"

namespace marrowzip {

class AppendCoders;
class Progress;
struct BulkState;

// A folder next to the archive, so that a finished copy replaces it by rename(2) on the same
// file system; removed with its contents on every exit.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::filesystem::path& parent);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

class ArchiveWriter {
public:
    explicit ArchiveWriter(ArchiveReader& reader) : reader_(reader) {}
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;
    // An open bulk append writes its central directory while the stream is still there.
    ~ArchiveWriter() { endBulkAppendKeepingError(); }

    // The operations that Archive offers; see archive.hpp.
    std::shared_ptr<BulkState> beginBulkAppend(std::int64_t bufferSize, const BulkOptions& options);
    bool isBulkAppendOpen() const noexcept { return bulk_ != nullptr; }
    BulkState* openBulkState() const noexcept { return bulk_.get(); }
    void removeEntries(const std::vector<Entry>& entries, std::int64_t bufferSize,
                       Progress* progress);
    // A new copy of the archive without `entries`, written beside it (in memory for an
    // in-memory archive), that commitReplacement puts in the archive's place in one step; more
    // entries may be appended to the copy before that.
    struct Replacement {
        // The folder first: the copy's stream is closed before the folder and its file go.
        std::unique_ptr<TemporaryFolder> folder;  // null for an in-memory archive
        std::string realPath;                     // the archive's, links resolved
        std::unique_ptr<ArchiveReader> copy;
    };
    Replacement beginReplacement(const std::vector<Entry>& entries, std::int64_t bufferSize,
                                 Progress* progress);
    // `realPath`: the replacement's, for a file archive. Once the copy has taken the archive's
    // place, it must not be written any more.
    void commitReplacement(ArchiveReader& copy, const std::string& realPath);
    std::string comment() const;
    void setComment(std::string_view comment, std::int64_t bufferSize);
    // Refuses a comment no end record can hold.
    static void checkComment(std::string_view comment, const std::string& archivePath);

    // ---- The steps of the operations ----

    // The central directory as it stands on disk, read on the first append and kept up to date
    // by each append, so that a run of appends does not read it back every time.
    struct CentralDirectoryCache {
        std::uint64_t offset = 0;
        Bytes records;        // the central directory headers
        Bytes trailingBytes;  // everything behind them to the end of the stream: the end records
    };

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

        // The units of the entry's progress: its bytes, or 1 for a folder.
        std::int64_t progressUnits() const {
            return type == EntryType::directory ? 1 : static_cast<std::int64_t>(uncompressedSize);
        }
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

    void appendEntryFromSource(std::string_view path, const ProvidedEntry& provided,
                               const AppendOptions& options, const EntrySource& source);
    PendingEntry prepareEntry(std::string_view path, const ProvidedEntry& provided,
                              CompressionMethod compressionMethod) const {
        return prepareEntry(path, provided, compressionMethod, archivePathForErrors());
    }
    // The same on any thread; `archivePath` names the archive in errors.
    static PendingEntry prepareEntry(std::string_view path, const ProvidedEntry& provided,
                                     CompressionMethod compressionMethod,
                                     const std::string& archivePath);
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
    // Runs `write` (given where the directory begins) between the two above. Should anything
    // fail, the archive is put back as it was and the error names the archive and `entryPath`.
    void overwriteDirectory(std::int64_t bufferSize, const std::string& entryPath,
                            const std::function<void(std::uint64_t start)>& write);
    // Refuses data that outgrew a local header written without ZIP64 sizes (cannot happen
    // while maximumDeflatedSize holds; refusing beats overwriting data).
    void refuseOutgrownSizes(const PendingEntry& entry, std::uint64_t written) const;
    static LocalFileHeader makeLocalFileHeader(const PendingEntry& entry,
                                               std::uint64_t compressedSize, std::uint32_t crc32);
    LocalFileHeader writeLocalFileHeader(const PendingEntry& entry, std::uint64_t compressedSize,
                                         std::uint32_t crc32);
    // Writes the local record and data at `headerOffset`; with `storeIfNotSmaller`, a file that
    // deflate does not shrink is stored instead.
    WrittenEntry writeEntry(std::uint64_t headerOffset, PendingEntry entry, std::int64_t bufferSize,
                            Progress* progress, const EntrySource& source, AppendCoders& coders,
                            bool storeIfNotSmaller = false);
    // The data of an entry small enough to be held whole, read once: compressed as `entry`
    // asks, or, with `storeIfNotSmaller` and a file that deflate does not shrink, stored (and
    // `entry` then says so). A source holding more than announced is refused.
    struct HeldData {
        Bytes bytes;
        EntryDataResult result;
    };
    HeldData holdEntryData(PendingEntry& entry, std::int64_t bufferSize, Progress* progress,
                           EntrySource source, AppendCoders& coders, bool storeIfNotSmaller) const;
    // Hands the stored (or compressed) bytes of the entry to `sink`.
    EntryDataResult writeEntryData(const PendingEntry& entry, std::int64_t bufferSize,
                                   Progress* progress, const EntrySource& source,
                                   AppendCoders& coders, const EntryDataConsumer& sink) const;
    static CentralDirectoryStructure makeCentralDirectoryRecord(const LocalFileHeader& header,
                                                                std::uint64_t relativeOffset,
                                                                const PendingEntry& entry);
    // Writes the cached central directory at `start`, then `addedRecords` (`addedCount` serialized
    // headers), then fresh end records.
    WrittenEndRecords writeCentralDirectoryAndEndRecords(std::uint64_t start, ByteView addedRecords,
                                                         std::uint64_t addedCount,
                                                         std::int64_t bufferSize);
    // Makes a directory just written at `start` the archive's current one.
    void adoptWrittenDirectory(std::uint64_t start, Bytes addedRecords, WrittenEndRecords written);
    void appendInBulk(BulkState& bulk, const PendingEntry& entry, std::int64_t bufferSize,
                      Progress* progress, const EntrySource& source);
    // Parallel bulk appends (marrowzip/write/append_parallel.cpp).
    struct BulkQueue;
    struct QueuedEntry;
    struct QueuedGroup;
    struct OwnedPiece;
    struct PlacedRun;
    // A queue with the options' workers, or null for one worker.
    static std::unique_ptr<BulkQueue> makeBulkQueue(const BulkOptions& options);
    // The open bulk append's queue, or null when there is none or it has no workers.
    BulkQueue* bulkQueue() const noexcept;
    // Whether the worker that reads the file of `entry` opens and closes it itself (one read
    // whole, compressed or stored), so that the caller's thread need not.
    bool workerOpensSource(const PendingEntry& entry) const noexcept;
    // Queues a file of known, non-zero size for the workers; `file` is open for reading, or
    // closed when workerOpensSource(entry).
    void queueFileInBulk(BulkState& bulk, PendingEntry entry, Progress* progress, UniqueFd file,
                         std::string sourcePath);
    // Queues a regular file described by `provided`, when it is small enough to be read whole,
    // into the group of small files being formed (see QueuedGroup); answers false, queueing
    // nothing, for a larger one. The entry is prepared by the worker: a refusal of it (its
    // path, say) comes, like a failed read, from the call that comes to write it.
    bool queueSmallFileInBulk(BulkState& bulk, std::string_view path, const ProvidedEntry& provided,
                              CompressionMethod method, Progress* progress,
                              const std::string& sourcePath);
    // Waits, writing what is done, until the queue has room for one more entry.
    void makeRoomInQueue(BulkState& bulk);
    // Ends the group being formed: hands it to the workers unless its memory must wait (it is
    // then handed out when its turn to be written comes).
    static void closeFormingGroup(const BulkState& bulk);
    // Places the members of a group whose worker is done, from the first not yet placed: each
    // stretch of them up to a failed one in one write. Throws the failed member's error (the
    // group stays first in the queue, the members behind it to be placed by a later call).
    void placeGroup(BulkState& bulk, const std::shared_ptr<QueuedGroup>& shared);
    // Places the members [first, end) of a group, none failed, one behind the other.
    void placeGroupMembers(BulkState& bulk, const std::shared_ptr<const QueuedGroup>& group,
                           std::size_t first, std::size_t end);
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
    // completes it and adds its central directory header. A piece of an entry of several given
    // with its bytes (`owned`) is written at its offset by a worker when the archive is a file.
    // An entry of one piece whose bytes are given (`placeable`) goes into the run the workers
    // write, when the archive is a file.
    void writeQueuedPiece(BulkState& bulk, QueuedEntry& queued, ByteView data, std::uint32_t crc32,
                          std::uint64_t size, bool first, bool last,
                          std::shared_ptr<const OwnedPiece> owned = nullptr,
                          OwnedPiece* placeable = nullptr);
    // Adds an entry's local header and data to the run being placed at `offset`; hands the
    // run to a worker when it is large enough, or when the entry does not follow it. A failed
    // write is met by writeQueuedEntries.
    void placeQueuedEntry(BulkState& bulk, std::uint64_t offset, Bytes header, OwnedPiece data);
    // Hands out the run being placed and waits until every write of a worker is done. A placed
    // run that failed takes the bulk append back to what it was before the run's first entry
    // (the directory goes where that entry began) and throws its error.
    void settlePlacedWrites(BulkState& bulk);
    // Rewrites a queued entry that compression made no smaller as stored.
    void storeInstead(BulkState& bulk, QueuedEntry& queued);
    // Copies a large stored file on the writer's thread, piece by piece.
    void copyQueuedEntry(BulkState& bulk, QueuedEntry& queued);
    // Starts the bulk's bytes written since the last call on their way to the disk, every few
    // MiB: the sync that ends the run then finds little left to wait for.
    void startWriteback(BulkState& bulk) noexcept;
    // Writes the directory of the bulk's entries behind them; should that fail, cuts them off and
    // puts the directory as it was before them back.
    void writeBulkDirectory(BulkState& bulk);
    // In bulk mode, writes the directory of the entries before a failed append.
    void writeBulkDirectoryAfterFailure() noexcept;
    // Puts the archive back as it was before an all-or-nothing bulk append began.
    void abandonBulkEntries(BulkState& bulk);
    struct BulkFailureGuard {
        explicit BulkFailureGuard(ArchiveWriter& owner) : archive(owner) {}
        ~BulkFailureGuard();
        BulkFailureGuard(const BulkFailureGuard&) = delete;
        BulkFailureGuard& operator=(const BulkFailureGuard&) = delete;
        ArchiveWriter& archive;
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
    std::string archivePathForErrors() const { return reader_.displayPath(); }

    void ensureRemovable(const std::vector<Entry>& entries) const;
    void writeArchiveWithout(const std::vector<Entry>& entries, ArchiveWriter& target,
                             std::int64_t bufferSize, Progress* progress) const;
    struct ByteRange {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    void copyArchiveBytes(ByteRange range, std::FILE* target, std::int64_t bufferSize,
                          Progress* progress) const;
    void adoptMemoryArchive(const ArchiveReader& temporary);
    void adoptFileArchive(ArchiveReader& temporary, const std::string& archivePath);

private:
    ArchiveReader& reader_;
    std::shared_ptr<BulkState> bulk_;
    std::optional<CentralDirectoryCache> centralDirectoryCache_;
    // Whether a journal of the tail on disk exists: from the first overwrite of the old central
    // directory until the new one is durable.
    bool journalOpen_ = false;
};

}  // namespace marrowzip

// The queue of a parallel bulk append: entries in the order they were appended, each cut into
// pieces that the workers read, check and compress into memory, and that the caller's thread
// writes in order. The memory of the pieces in flight is bounded by the workers' budgets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/processing/worker_pool.hpp"
#include "marrowzip/write/append_coders.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {

// Bytes read from a source, left uninitialized before the read: setting a large buffer to zero
// first would take as long as filling it.
struct ReadBuffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    ByteView view() const { return {bytes.get(), size}; }
};

// The bytes of a piece as they go into the archive, held until they are written.
struct ArchiveWriter::OwnedPiece {
    Bytes data;
    ReadBuffer stored;
    // An entry read whole: its local header and central record, made by its worker (the
    // record with offset 0, set when the entry is placed).
    Bytes header;
    Bytes record;
    ByteView view() const { return stored.bytes ? stored.view() : ByteView(data); }
};

// Entries read whole, placed one behind the other from `offset` (each one's local header, then
// its data) and written by a worker in one call; and the bulk append as it was before the first
// of them, to go back to should the write fail.
struct ArchiveWriter::PlacedRun {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::size_t recordsBefore = 0;  // bytes of the bulk's added records
    std::uint64_t countBefore = 0;
    std::vector<Bytes> headers;
    std::vector<OwnedPiece> data;  // each behind its header
    // Or, instead of those, the members [first, end) of a group (see QueuedGroup).
    std::shared_ptr<const QueuedGroup> group;
    std::size_t first = 0;
    std::size_t end = 0;
};

// Small files read whole, described before they were appended, taken together by one worker:
// for each, in order, it prepares the entry, opens, reads, checks and compresses the file and
// makes its records. The caller's thread then places the members one behind the other, written
// by a worker in one call, and only sets the records' offsets: its work no longer grows with
// every file.
struct ArchiveWriter::QueuedGroup {
    struct Member {
        std::string path;  // as the caller gave it
        std::string sourcePath;
        ProvidedEntry described;
        CompressionMethod method = CompressionMethod::none;
        Progress* progress = nullptr;
        // Set by the worker.
        PendingEntry entry;
        Bytes header;               // its local header
        OwnedPiece data;            // as it goes into the archive
        std::size_t recordEnd = 0;  // where its central record (offset 0) ends in `records`
        std::uint32_t crc32 = 0;
        std::exception_ptr error;  // its failure: it has no bytes and no record
        std::uint64_t placedSize() const { return header.size() + data.view().size(); }
    };

    std::string archivePath;  // for the entries' errors
    std::vector<Member> members;
    std::uint64_t sourceBytes = 0;  // what the members' files hold together
    Bytes records;                  // set by the worker
    // Members placed or reported as failed, by the caller's thread.
    std::size_t placed = 0;
};

struct ArchiveWriter::QueuedEntry {
    struct Piece {
        std::uint64_t offset = 0;  // where it starts in the source
        std::uint64_t size = 0;
        std::uint64_t reserved = 0;  // memory counted against the budget until it is written
        // Set by the worker, under the mutex.
        bool done = false;
        // As it goes into the archive: compressed, or stored as read.
        Bytes data;
        ReadBuffer stored;
        std::uint32_t crc32 = 0;
        Bytes header;  // see OwnedPiece
        Bytes record;
    };

    std::string name;  // as the caller gave it, for errors
    PendingEntry entry;
    Progress* progress = nullptr;
    std::string sourcePath;
    UniqueFd file;  // closed for a file read whole: its worker opens it (workerOpensSource)
    std::vector<Piece> pieces;  // never resized once queued: workers hold their addresses
    std::size_t submitted = 0;  // pieces handed to the workers (or ready)
    std::size_t written = 0;    // pieces written
    std::exception_ptr error;   // the first failure of any piece; under the mutex
    // A large stored file, copied without being held in memory: by the workers, each piece
    // straight to its place in the archive, or by the writer through one small buffer when
    // the archive has no descriptor (it is in memory) or the file fits that buffer. Its pieces
    // are only made for that copy.
    bool direct = false;
    // Dropped without a report: the call that queued it threw the error of an earlier entry
    // before all its pieces were handed out, and so has not appended it.
    bool dropSilently = false;
    // The writer's side of an entry written piece by piece.
    std::uint64_t headerOffset = 0;
    std::uint64_t headerSize = 0;
    std::uint64_t dataWritten = 0;
    std::uint32_t crc32 = 0;
    // A group of small files instead of one file: its one piece stands for the whole group.
    // Shared with the writes of its members.
    std::shared_ptr<QueuedGroup> group;
};

struct ArchiveWriter::BulkQueue {
    BulkQueue(std::size_t workers, std::uint64_t workerBudget, int level);
    // Drops whatever is still queued: workers skip the pieces they have not begun.
    ~BulkQueue();
    BulkQueue(const BulkQueue&) = delete;
    BulkQueue& operator=(const BulkQueue&) = delete;

    // Whether a file of `entry` is read (and compressed, if it is) in one piece, by one worker.
    bool readsWhole(const PendingEntry& entry) const noexcept {
        return readsWhole(entry.compressionMethod, entry.uncompressedSize);
    }
    bool readsWhole(CompressionMethod method, std::uint64_t size) const noexcept;
    // Reads, checks and compresses one piece; runs on a worker.
    void runPiece(QueuedEntry& queued, QueuedEntry::Piece& piece, AppendCoders& coders) noexcept;
    // Prepares, reads and compresses the members of a group; runs on a worker.
    void runGroup(QueuedEntry& queued, AppendCoders& coders) noexcept;
    // Hands a group to a worker, counting its memory.
    void submitGroup(QueuedEntry& queued);
    // Tells the piece's end to the writer waiting for it; the piece's results are set by `set`,
    // under the mutex.
    template <typename Set>
    void finishPiece(QueuedEntry& queued, QueuedEntry::Piece& piece,
                     const std::exception_ptr& failure, const Set& set);
    // Copies the source of `queued` into the archive's descriptor `archive` from `dataOffset`
    // on, its pieces on the workers at once, and answers the CRC-32 of what it copied; the
    // caller's thread waits. Throws the first piece's failure (a short source, a failed write).
    std::uint32_t copyPiecesAt(const QueuedEntry& queued, int archive, std::uint64_t dataOffset);
    // The writer's one buffer for copying a queued source itself, made on first use.
    std::uint8_t* writerBuffer();
    // Hands `piece` to the workers. Files read whole go in runs of a few, one wake-up of a
    // worker for the run instead of one per file; `handOutRun` hands out the run being formed,
    // as must be done before anything waits for one of its pieces.
    void handOut(QueuedEntry& queued, QueuedEntry::Piece& piece);
    void handOutRun();
    // Writes `piece` into the archive's descriptor `archive` at `offset` on a worker, ahead of
    // the pieces waiting to be compressed; waits first while the bytes being written so would
    // pass what the workers compress at once (the memory bound holds for them too).
    void writeAt(int archive, std::shared_ptr<const OwnedPiece> piece, std::uint64_t offset);
    // Hands the run being placed (`placing`) to a worker like writeAt, when it holds anything.
    // A write that fails keeps the earliest failed run's state in `placedFailure`.
    void writePlacedRun(int archive);
    // Counts `size` bytes as being written (waiting while they would pass the bound of writeAt),
    // then runs `write` on a worker, ahead of the pieces waiting to be compressed; `failed` hears
    // of the error `write` answers, under the mutex.
    template <typename Write, typename Failed>
    void submitWrite(std::uint64_t size, Write write, Failed failed);
    // Waits under `lock` until every write of writeAt is done; answers the first failure among
    // them (and forgets it).
    std::exception_ptr waitForWrites(std::unique_lock<std::mutex>& lock);
    // Waits under `lock` until `done` holds, woken by `piece` (any piece when null).
    template <typename Done>
    void waitFor(std::unique_lock<std::mutex>& lock, const QueuedEntry::Piece* piece,
                 const Done& done) {
        writerWaits = true;
        awaited = piece;
        pieceDone.wait(lock, done);
        writerWaits = false;
    }

    const std::uint64_t budget;  // per worker
    const std::uint64_t blockSize;
    const std::uint64_t memoryLimit;
    const std::size_t entryLimit;

    std::mutex mutex;
    std::condition_variable pieceDone;
    // What the writer waits for, under the mutex: a finished piece wakes it only when it is
    // `awaited` (any piece when null) or failed, not for every piece.
    bool writerWaits = false;
    const QueuedEntry::Piece* awaited = nullptr;
    std::deque<std::unique_ptr<QueuedEntry>> entries;
    std::uint64_t reserved = 0;  // memory of the pieces submitted and not yet written
    std::atomic<bool> abandoned{false};
    // Whether a file that deflate does not shrink is stored instead.
    bool storeIfNotSmaller = false;
    std::unique_ptr<std::uint8_t[]> copyBuffer;  // the writer's, for direct entries
    std::vector<std::pair<QueuedEntry*, QueuedEntry::Piece*>> run;  // not handed out yet
    // The group that small files join, last in `entries`, not handed out yet; only the caller's
    // thread touches it.
    QueuedEntry* forming = nullptr;
    // Runs the writes waiting, one after the other, on one worker at a time: the writes of
    // several workers to the one archive would only wait for each other in the kernel, spinning
    // on the file's lock instead of compressing.
    void runWrites();
    // The writes of writeAt under way (or waiting), under the mutex.
    std::deque<std::function<void()>> pendingWrites;
    bool writing = false;  // a worker runs the pending writes
    std::size_t writes = 0;
    std::uint64_t bytesBeingWritten = 0;
    std::exception_ptr writeError;
    std::condition_variable writeDone;
    // The entries read whole are placed by the writer's thread into runs, which the workers
    // write: the writer's thread copies none of their bytes. Only the writer touches `placing`.
    PlacedRun placing;
    struct PlacedFailure {
        std::exception_ptr error;
        std::uint64_t offset = 0;
        std::size_t recordsBefore = 0;
        std::uint64_t countBefore = 0;
    };
    std::optional<PlacedFailure> placedFailure;  // under the mutex
    std::deque<AppendCoders> coders;             // one per worker (made in place: not movable)
    WorkerPool pool;                             // last: its threads stop before the rest goes
};

}  // namespace marrowzip

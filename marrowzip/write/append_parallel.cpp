// Parallel bulk appends: files are queued in the order they are appended, read and compressed
// by the workers, and written by the caller's thread in that same order, so that the archive is
// laid out as a serial run would lay it out. The caller's thread writes whatever is ready each
// time it queues an entry, and waits only when the memory or entry bounds are reached.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/whole_buffer.hpp"
#include "marrowzip/write/append_limits.hpp"
#include "marrowzip/write/bulk_state.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {
namespace {

constexpr std::uint64_t smallestBlock = std::uint64_t{64} << 10;
constexpr std::uint64_t largestBlock = std::uint64_t{8} << 20;
// Enough entries queued to keep the workers busy on small files, few enough descriptors open.
constexpr std::size_t entriesPerWorker = 64;
// Stored files are copied by the writer in pieces of directCopyChunk.
constexpr std::size_t directCopyChunk = std::size_t{1} << 20;
// The bytes of the entries read whole that a worker writes in one call.
constexpr std::uint64_t placedRunSize = std::uint64_t{256} << 10;

std::uint64_t blockSizeFor(std::uint64_t budget) {
    return std::clamp(budget / 8, smallestBlock, largestBlock);
}

// Reads up to `size` bytes at `offset` into `target` (or, for a read at offset 0 of a stream
// that cannot seek, where the stream stands); fewer only at the end of the file. A short read
// that brings `enough` bytes is taken as the end without asking again: a file read whole asks
// for one byte more than its size, and a second read only to be told the end costs a system
// call per file.
std::size_t readInto(int file, std::uint64_t offset, std::uint8_t* target, std::size_t size,
                     const std::string& path, std::size_t enough = SIZE_MAX) {
    std::size_t filled = 0;
    bool positional = true;
    while (filled < size) {
        const std::size_t asked = size - filled;
        const ssize_t count =
            positional ? ::pread(file, target + filled, asked, static_cast<off_t>(offset + filled))
                       : ::read(file, target + filled, asked);
        if (count < 0 && errno == ESPIPE && offset == 0 && filled == 0) {
            positional = false;
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        // A named pipe opened without blocking answers EAGAIN when no writer is there yet.
        if (count < 0 && errno == EAGAIN) break;
        if (count < 0) throw posixFileError(errno, path);
        if (count == 0) break;
        filled += static_cast<std::size_t>(count);
        if (filled >= enough && static_cast<std::size_t>(count) < asked) break;
    }
    return filled;
}

ReadBuffer readAt(int file, std::uint64_t offset, std::uint64_t size, const std::string& path,
                  std::uint64_t enough) {
    ReadBuffer buffer{
        std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size)), 0};
    buffer.size = readInto(file, offset, buffer.bytes.get(), static_cast<std::size_t>(size), path,
                           static_cast<std::size_t>(enough));
    return buffer;
}

Error shortSource(const std::string& sourcePath, const std::string& entryPath,
                  std::uint64_t delivered, std::uint64_t size, std::uint64_t offset) {
    return Error(ArchiveError::invalidEntrySize, sourcePath, entryPath,
                 "the source delivered " + std::to_string(delivered) + " bytes of " +
                     std::to_string(size) + " at offset " + std::to_string(offset));
}

Error grownSource(const std::string& sourcePath, const std::string& entryPath) {
    return Error(ArchiveError::invalidEntrySize, sourcePath, entryPath,
                 "the file grew while it was read");
}

}  // namespace

ArchiveWriter::BulkQueue::BulkQueue(std::size_t workers, std::uint64_t workerBudget, int level)
    : budget(workerBudget),
      blockSize(blockSizeFor(workerBudget)),
      memoryLimit(workers * workerBudget),
      entryLimit(workers * entriesPerWorker),
      pool(workers) {
    for (std::size_t i = 0; i < workers; ++i)
        coders.emplace_back(level);
}

ArchiveWriter::BulkQueue::~BulkQueue() {
    abandoned = true;
}

namespace {

// A piece read and checked: the last asks for one byte more, so that a file that grew since its
// size was taken is refused; one that shrank is refused too.
ReadBuffer readPiece(int source, const std::string& sourcePath, const std::string& entryPath,
                     std::uint64_t offset, std::uint64_t size, bool last) {
    ReadBuffer input = readAt(source, offset, size + (last ? 1 : 0), sourcePath, size);
    if (input.size < size) throw shortSource(sourcePath, entryPath, input.size, size, offset);
    if (input.size > size) throw grownSource(sourcePath, entryPath);
    return input;
}

// A file read whole as it goes into the archive: compressed, or stored as read (asked to be, or,
// with `storeIfNotSmaller`, when deflate does not shrink it).
struct EncodedFile {
    Bytes data;
    ReadBuffer stored;
    std::uint32_t crc32 = 0;
    ByteView view() const { return stored.bytes ? stored.view() : ByteView(data); }
};

EncodedFile encodeWhole(ReadBuffer input, bool deflated, AppendCoders& coders,
                        bool storeIfNotSmaller) {
    EncodedFile file;
    file.crc32 = updateCRC32(input.view(), 0);
    if (deflated) file.data = coders.compressWhole(input.view());
    if (!deflated || (storeIfNotSmaller && file.data.size() >= input.size)) {
        file.data = Bytes();
        file.stored = std::move(input);
    }
    return file;
}

// The local header and the central record (offset 0, set when the entry is placed) of an entry
// read whole, whose data is `dataSize` bytes, stored as read when `stored`.
struct WholeRecords {
    Bytes header;
    Bytes record;
};

WholeRecords recordsOfWhole(const ArchiveWriter::PendingEntry& entry, std::uint64_t dataSize,
                            std::uint32_t crc32, bool stored) {
    LocalFileHeader local = ArchiveWriter::makeLocalFileHeader(entry, dataSize, crc32);
    if (stored) local.compressionMethod = 0;
    return {local.serialize(),
            ArchiveWriter::makeCentralDirectoryRecord(local, 0, entry).serialize()};
}

}  // namespace

template <typename Set>
void ArchiveWriter::BulkQueue::finishPiece(QueuedEntry& queued, QueuedEntry::Piece& piece,
                                           const std::exception_ptr& failure, const Set& set) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex);
        set();
        piece.done = true;
        if (failure && !queued.error) queued.error = failure;
        wake = writerWaits && (awaited == nullptr || awaited == &piece || failure);
    }
    if (wake) pieceDone.notify_all();
}

void ArchiveWriter::BulkQueue::runPiece(QueuedEntry& queued, QueuedEntry::Piece& piece,
                                        AppendCoders& workerCoders) noexcept {
    Bytes data;
    ReadBuffer stored;
    std::uint32_t checksum = 0;
    Bytes header;
    Bytes record;
    std::exception_ptr failure;
    try {
        {
            const std::lock_guard lock(mutex);
            // An earlier piece failed: the entry will not be written.
            if (queued.error) throw Error(ArchiveError::cancelledOperation);
        }
        if (abandoned || (queued.progress != nullptr && queued.progress->isCancelled())) {
            throw Error(ArchiveError::cancelledOperation);
        }
        const PendingEntry& entry = queued.entry;
        const bool deflated = entry.compressionMethod == CompressionMethod::deflate;
        const bool last = piece.offset + piece.size == entry.uncompressedSize;
        // A file read whole is opened here, and closed as soon as it is read (see
        // workerOpensSource); the writer never touches its descriptor.
        UniqueFd own;
        if (!queued.file) own = openSourceDescriptor(queued.sourcePath);
        const int source = queued.file ? queued.file.get() : own.get();
        ReadBuffer input =
            readPiece(source, queued.sourcePath, entry.path, piece.offset, piece.size, last);
        own.reset();
        if (queued.pieces.size() == 1) {
            EncodedFile file =
                encodeWhole(std::move(input), deflated, workerCoders, storeIfNotSmaller);
            checksum = file.crc32;
            data = std::move(file.data);
            stored = std::move(file.stored);
        } else {
            checksum = updateCRC32(input.view(), 0);
            if (deflated) {
                data = workerCoders.block().compress(input.view(), last);
            } else {
                stored = std::move(input);
            }
        }
        const std::uint64_t dataSize = stored.bytes ? stored.size : data.size();
        if (queued.pieces.size() == 1 && (entry.zip64Sizes || dataSize < sentinel32)) {
            // The records of an entry read whole are made here, not on the thread that places
            // every entry: only the offset is left to set.
            WholeRecords made = recordsOfWhole(entry, dataSize, checksum, stored.bytes != nullptr);
            header = std::move(made.header);
            record = std::move(made.record);
        }
        if (queued.progress != nullptr) {
            queued.progress->addCompletedUnitCount(static_cast<std::int64_t>(piece.size));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    finishPiece(queued, piece, failure, [&] {
        piece.data = std::move(data);
        piece.stored = std::move(stored);
        piece.crc32 = checksum;
        piece.header = std::move(header);
        piece.record = std::move(record);
    });
}

void ArchiveWriter::BulkQueue::runGroup(QueuedEntry& queued, AppendCoders& workerCoders) noexcept {
    QueuedGroup& group = *queued.group;
    Bytes records;
    std::exception_ptr failure;
    try {
        for (QueuedGroup::Member& member : group.members) {
            try {
                if (abandoned || (member.progress != nullptr && member.progress->isCancelled())) {
                    throw Error(ArchiveError::cancelledOperation);
                }
                member.entry =
                    prepareEntry(member.path, member.described, member.method, group.archivePath);
                const PendingEntry& entry = member.entry;
                EncodedFile file;
                {
                    const UniqueFd source = openSourceDescriptor(member.sourcePath);
                    file = encodeWhole(readPiece(source.get(), member.sourcePath, entry.path, 0,
                                                 entry.uncompressedSize, true),
                                       entry.compressionMethod == CompressionMethod::deflate,
                                       workerCoders, storeIfNotSmaller);
                }
                if (file.stored.bytes) member.entry.compressionMethod = CompressionMethod::none;
                WholeRecords made = recordsOfWhole(entry, file.view().size(), file.crc32, false);
                records.insert(records.end(), made.record.begin(), made.record.end());
                member.header = std::move(made.header);
                member.data = OwnedPiece{std::move(file.data), std::move(file.stored), {}, {}};
                member.crc32 = file.crc32;
                if (member.progress != nullptr) {
                    member.progress->addCompletedUnitCount(
                        static_cast<std::int64_t>(entry.uncompressedSize));
                }
            } catch (const std::bad_alloc&) {
                throw;
            } catch (...) {
                member.error = std::current_exception();
            }
            member.recordEnd = records.size();
        }
    } catch (...) {
        // Out of memory: the group fails as a whole, at its first member.
        failure = std::current_exception();
    }
    finishPiece(queued, queued.pieces.front(), failure,
                [&] { group.records = std::move(records); });
}

ArchiveWriter::BulkQueue* ArchiveWriter::bulkQueue() const noexcept {
    return bulk_ ? bulk_->queue.get() : nullptr;
}

std::unique_ptr<ArchiveWriter::BulkQueue> ArchiveWriter::makeBulkQueue(const BulkOptions& options) {
    std::size_t workers = options.workers;
    if (workers == 0) workers = std::max(1U, std::thread::hardware_concurrency());
    if (workers < 2) return nullptr;
    // One budget for the whole append: the more workers, the smaller each one's part.
    auto queue = std::make_unique<BulkQueue>(
        workers, std::max<std::uint64_t>(options.memoryBudget / workers, 1), options.level);
    queue->storeIfNotSmaller = options.storeIfNotSmaller;
    return queue;
}

bool ArchiveWriter::BulkQueue::readsWhole(CompressionMethod method,
                                          std::uint64_t size) const noexcept {
    return method == CompressionMethod::deflate ? compressesWhole(size, budget)
                                                : size <= budget / 2;
}

bool ArchiveWriter::workerOpensSource(const PendingEntry& entry) const noexcept {
    const BulkQueue* queue = bulkQueue();
    // A file compressed in blocks is read by several workers (and read again should it not
    // shrink), and a large stored file by the writer: those keep one descriptor.
    return queue != nullptr && queue->readsWhole(entry);
}

void ArchiveWriter::queueFileInBulk(BulkState& bulk, PendingEntry entry, Progress* progress,
                                    UniqueFd file, std::string sourcePath) {
    BulkQueue& queue = *bulk.queue;
    auto queued = std::make_unique<QueuedEntry>();
    queued->name = entry.path;
    queued->progress = progress;
    queued->sourcePath = std::move(sourcePath);
    queued->file = std::move(file);
    const std::uint64_t size = entry.uncompressedSize;
    const bool deflated = entry.compressionMethod == CompressionMethod::deflate;
    // A file read whole goes to a worker whether it is compressed or stored: the worker opens,
    // reads, checks and checksums it, and the writer only places its bytes. A large stored file
    // is not held in memory whole: it is copied when its turn comes (copyQueuedEntry).
    const bool whole = queue.readsWhole(entry);
    queued->direct = !deflated && !whole;
    const std::uint64_t pieceSize = whole ? std::max<std::uint64_t>(size, 1) : queue.blockSize;
    for (std::uint64_t offset = 0; !queued->direct && (offset < size || queued->pieces.empty());
         offset += pieceSize) {
        QueuedEntry::Piece piece;
        piece.offset = offset;
        piece.size = std::min(pieceSize, size - offset);
        piece.reserved = piece.size + (deflated ? maximumDeflatedSize(piece.size) : 0);
        queued->pieces.push_back(std::move(piece));
    }
    queued->entry = std::move(entry);

    closeFormingGroup(bulk);
    makeRoomInQueue(bulk);
    QueuedEntry& added = *queued;
    {
        const std::lock_guard lock(queue.mutex);
        queue.entries.push_back(std::move(queued));
    }
    for (QueuedEntry::Piece& piece : added.pieces) {
        // A piece waits for memory while pieces before it hold it; one larger than the whole
        // limit goes alone.
        for (;;) {
            std::unique_lock lock(queue.mutex);
            if (queue.reserved == 0 || queue.reserved + piece.reserved <= queue.memoryLimit) {
                queue.reserved += piece.reserved;
                ++added.submitted;
                break;
            }
            lock.unlock();
            try {
                writeQueuedEntries(bulk, QueueWrite::oldest);
            } catch (...) {
                // An earlier entry failed: this one goes too, and the caller learns of that
                // failure instead. (Had this one failed, it is gone from the queue already.)
                const std::lock_guard failedLock(queue.mutex);
                if (!queue.entries.empty() && queue.entries.back().get() == &added) {
                    added.error = std::current_exception();
                    added.dropSilently = true;
                }
                throw;
            }
        }
        queue.handOut(added, piece);
    }
}

void ArchiveWriter::makeRoomInQueue(BulkState& bulk) {
    BulkQueue& queue = *bulk.queue;
    // Whatever is written here belongs to earlier entries: should one of them have failed, the
    // error goes to the caller before the new entry is queued, and that entry is not appended.
    for (;;) {
        writeQueuedEntries(bulk, QueueWrite::ready);
        std::unique_lock lock(queue.mutex);
        if (queue.entries.size() < queue.entryLimit) return;
        // Full: this thread sleeps until a quarter of the queue is done, then writes it, instead
        // of waking for every entry the workers finish.
        queue.handOutRun();
        const QueuedEntry& mark = *queue.entries[queue.entryLimit / 4];
        if (!mark.direct && mark.submitted > 0) {
            const QueuedEntry::Piece& last = mark.pieces[mark.submitted - 1];
            queue.waitFor(lock, &last, [&] { return last.done || mark.error; });
        }
        lock.unlock();
        writeQueuedEntries(bulk, QueueWrite::oldest);
    }
}

namespace {

// A group is handed out once it holds this many files, or files of this many bytes together:
// enough that the caller's thread places few of them, small enough to keep every worker busy.
constexpr std::size_t filesPerGroup = 64;
constexpr std::uint64_t groupBytes = std::uint64_t{256} << 10;

}  // namespace

bool ArchiveWriter::queueSmallFileInBulk(BulkState& bulk, std::string_view path,
                                         const ProvidedEntry& provided, CompressionMethod method,
                                         Progress* progress, const std::string& sourcePath) {
    BulkQueue& queue = *bulk.queue;
    if (provided.uncompressedSize < 0 ||
        !queue.readsWhole(method, static_cast<std::uint64_t>(provided.uncompressedSize))) {
        return false;
    }
    const auto size = static_cast<std::uint64_t>(provided.uncompressedSize);
    if (queue.forming == nullptr) {
        makeRoomInQueue(bulk);
        auto queued = std::make_unique<QueuedEntry>();
        queued->group = std::make_shared<QueuedGroup>();
        queued->group->archivePath = archivePathForErrors();
        // At full size at once: a member is large, and growing would move every one before it.
        queued->group->members.reserve(filesPerGroup);
        queued->pieces.emplace_back();
        QueuedEntry* const formed = queued.get();
        {
            const std::lock_guard lock(queue.mutex);
            queue.entries.push_back(std::move(queued));
        }
        queue.forming = formed;
    } else {
        // Earlier entries that are done are written as they would be for any other append.
        writeQueuedEntries(bulk, QueueWrite::ready);
    }
    QueuedEntry& formed = *queue.forming;
    QueuedGroup& group = *formed.group;
    if (group.members.empty()) formed.name = std::string(path);
    QueuedGroup::Member& member = group.members.emplace_back();
    member.path = path;
    member.sourcePath = sourcePath;
    member.described = provided;
    member.method = method;
    member.progress = progress;
    group.sourceBytes += size;
    formed.pieces.front().size += size;
    formed.pieces.front().reserved +=
        size + (method == CompressionMethod::deflate ? maximumDeflatedSize(size) : 0);
    if (progress != nullptr) progress->setTotalUnitCount(provided.uncompressedSize);
    if (group.members.size() >= filesPerGroup || group.sourceBytes >= groupBytes) {
        closeFormingGroup(bulk);
    }
    return true;
}

void ArchiveWriter::closeFormingGroup(const BulkState& bulk) {
    BulkQueue& queue = *bulk.queue;
    QueuedEntry* const formed = std::exchange(queue.forming, nullptr);
    if (formed == nullptr) return;
    {
        const std::lock_guard lock(queue.mutex);
        const std::uint64_t reserved = formed->pieces.front().reserved;
        // The memory bound holds: should the group not fit now, it is handed out when it is the
        // oldest entry, as writeQueuedEntries comes to it.
        if (queue.reserved != 0 && queue.reserved + reserved > queue.memoryLimit) return;
    }
    queue.submitGroup(*formed);
}

void ArchiveWriter::BulkQueue::submitGroup(QueuedEntry& queued) {
    {
        const std::lock_guard lock(mutex);
        reserved += queued.pieces.front().reserved;
        queued.submitted = 1;
    }
    pool.submit([this, &queued](std::size_t worker) { runGroup(queued, coders[worker]); });
}

void ArchiveWriter::placeGroup(BulkState& bulk, const std::shared_ptr<QueuedGroup>& shared) {
    QueuedGroup& group = *shared;
    std::vector<QueuedGroup::Member>& members = group.members;
    while (group.placed < members.size()) {
        // The members up to the next that failed, or was cancelled after its worker was done
        // with it (nothing of a cancelled run lands behind the entry that stopped it).
        const std::size_t first = group.placed;
        std::size_t end = first;
        while (end < members.size() && !members[end].error) {
            if (members[end].progress != nullptr && members[end].progress->isCancelled()) {
                members[end].error =
                    std::make_exception_ptr(Error(ArchiveError::cancelledOperation));
                break;
            }
            ++end;
        }
        if (end > first) {
            try {
                placeGroupMembers(bulk, shared, first, end);
            } catch (...) {
                members[first].error = std::current_exception();
                end = first;
            }
        }
        group.placed = end;
        if (end == members.size()) return;
        QueuedGroup::Member& failed = members[group.placed++];
        try {
            std::rethrow_exception(failed.error);
        } catch (const Error& error) {
            throw error.withContext(archivePathForErrors(), failed.path);
        }
    }
}

void ArchiveWriter::placeGroupMembers(BulkState& bulk,
                                      const std::shared_ptr<const QueuedGroup>& group,
                                      std::size_t first, std::size_t end) {
    const std::vector<QueuedGroup::Member>& members = group->members;
    if (bulk.directoryOnDisk) bulk.nextOffset = beginOverwritingDirectory(bulk.bufferSize);
    bulk.directoryOnDisk = false;  // the entries overwrite it
    const std::uint64_t base = bulk.nextOffset;
    std::uint64_t size = 0;
    for (std::size_t index = first; index < end; ++index)
        size += members[index].placedSize();
    if (reader_.memoryFile_) {
        std::FILE* stream = reader_.archiveFile_.get();
        seekStreamForWriting(stream, base);
        for (std::size_t index = first; index < end; ++index) {
            writeStreamChunk(members[index].header, stream);
            writeStreamChunk(members[index].data.view(), stream);
        }
    } else {
        BulkQueue& queue = *bulk.queue;
        const int archive = ::fileno(reader_.archiveFile_.get());
        queue.writePlacedRun(archive);
        queue.placing = PlacedRun{.offset = base,
                                  .size = size,
                                  .recordsBefore = bulk.addedRecords.size(),
                                  .countBefore = bulk.addedCount,
                                  .headers = {},
                                  .data = {},
                                  .group = group,
                                  .first = first,
                                  .end = end};
        queue.writePlacedRun(archive);
    }
    // Each member's record, made with offset 0, gets its own; behind 4 GiB, where the offset
    // needs a ZIP64 block, the record is made again.
    std::size_t recordStart = first == 0 ? 0 : members[first - 1].recordEnd;
    std::uint64_t offset = base;
    for (std::size_t index = first; index < end; ++index) {
        const QueuedGroup::Member& member = members[index];
        if (offset < sentinel32) {
            const std::size_t at = bulk.addedRecords.size();
            bulk.addedRecords.insert(
                bulk.addedRecords.end(),
                group->records.begin() + static_cast<std::ptrdiff_t>(recordStart),
                group->records.begin() + static_cast<std::ptrdiff_t>(member.recordEnd));
            CentralDirectoryStructure::setSerializedOffset(bulk.addedRecords, at,
                                                           static_cast<std::uint32_t>(offset));
        } else {
            const LocalFileHeader header =
                makeLocalFileHeader(member.entry, member.data.view().size(), member.crc32);
            appendBytes(bulk.addedRecords,
                        makeCentralDirectoryRecord(header, offset, member.entry).serialize());
        }
        ++bulk.addedCount;
        recordStart = member.recordEnd;
        offset += member.placedSize();
    }
    bulk.nextOffset = offset;
    startWriteback(bulk);
}

void ArchiveWriter::BulkQueue::handOut(QueuedEntry& queued, QueuedEntry::Piece& piece) {
    constexpr std::size_t filesPerRun = 8;
    if (queued.pieces.size() > 1) {
        pool.submit([this, &queued, &piece](std::size_t worker) {
            runPiece(queued, piece, coders[worker]);
        });
        return;
    }
    run.emplace_back(&queued, &piece);
    if (run.size() == filesPerRun) handOutRun();
}

template <typename Write, typename Failed>
void ArchiveWriter::BulkQueue::submitWrite(std::uint64_t size, Write write, Failed failed) {
    std::unique_lock lock(mutex);
    writeDone.wait(
        lock, [&] { return writes == 0 || bytesBeingWritten + size <= blockSize * coders.size(); });
    ++writes;
    bytesBeingWritten += size;
    pendingWrites.emplace_back([this, write = std::move(write), failed = std::move(failed), size] {
        // Abandoned: the run is put back as it was, these bytes with the rest.
        const std::exception_ptr failure = abandoned ? nullptr : write();
        {
            const std::lock_guard doneLock(mutex);
            --writes;
            bytesBeingWritten -= size;
            if (failure) failed(failure);
        }
        writeDone.notify_all();
    });
    if (writing) return;
    writing = true;
    lock.unlock();
    pool.submit([this](std::size_t) { runWrites(); }, true);
}

void ArchiveWriter::BulkQueue::runWrites() {
    std::unique_lock lock(mutex);
    while (!pendingWrites.empty()) {
        const std::function<void()> next = std::move(pendingWrites.front());
        pendingWrites.pop_front();
        lock.unlock();
        next();
        lock.lock();
    }
    writing = false;
}

void ArchiveWriter::BulkQueue::writeAt(int archive, std::shared_ptr<const OwnedPiece> piece,
                                       std::uint64_t offset) {
    const std::uint64_t size = piece->view().size();
    submitWrite(
        size,
        [archive, piece = std::move(piece), offset]() -> std::exception_ptr {
            const ByteView bytes = piece->view();
            if (writeAllAt(archive, bytes.data(), bytes.size(), offset)) return nullptr;
            return std::make_exception_ptr(writeFailure());
        },
        [this](const std::exception_ptr& failure) {
            if (!writeError) writeError = failure;
        });
}

void ArchiveWriter::BulkQueue::writePlacedRun(int archive) {
    if (placing.headers.empty() && !placing.group) return;
    const auto placed = std::make_shared<const PlacedRun>(std::exchange(placing, PlacedRun()));
    submitWrite(
        placed->size,
        [archive, placed]() -> std::exception_ptr {
            std::vector<ByteView> parts;
            parts.reserve(placed->headers.size() * 2 + (placed->end - placed->first) * 2);
            for (std::size_t index = 0; index < placed->headers.size(); ++index) {
                parts.emplace_back(placed->headers[index]);
                parts.push_back(placed->data[index].view());
            }
            for (std::size_t index = placed->first; index < placed->end; ++index) {
                parts.emplace_back(placed->group->members[index].header);
                parts.push_back(placed->group->members[index].data.view());
            }
            if (writeAllAt(archive, parts, placed->offset)) return nullptr;
            return std::make_exception_ptr(writeFailure());
        },
        [this, placed](const std::exception_ptr& failure) {
            if (!placedFailure || placed->offset < placedFailure->offset) {
                placedFailure = PlacedFailure{failure, placed->offset, placed->recordsBefore,
                                              placed->countBefore};
            }
        });
}

std::exception_ptr ArchiveWriter::BulkQueue::waitForWrites(std::unique_lock<std::mutex>& lock) {
    writeDone.wait(lock, [&] { return writes == 0; });
    return std::exchange(writeError, nullptr);
}

void ArchiveWriter::BulkQueue::handOutRun() {
    if (run.empty()) return;
    pool.submit([this, pieces = std::move(run)](std::size_t worker) {
        for (const auto& [queued, piece] : pieces)
            runPiece(*queued, *piece, coders[worker]);
    });
    run.clear();
}

void ArchiveWriter::queueReadyInBulk(BulkState& bulk, const PendingEntry& entry,
                                     std::int64_t bufferSize, Progress* progress,
                                     const EntrySource& source) {
    auto queued = std::make_unique<QueuedEntry>();
    queued->name = entry.path;
    queued->entry = entry;
    queued->progress = progress;
    QueuedEntry::Piece piece;
    try {
        const EntryDataResult result =
            writeEntryData(entry, bufferSize, progress, source, bulk.coders, [&](ByteView chunk) {
                piece.data.insert(piece.data.end(), chunk.begin(), chunk.end());
            });
        if (source.verifyExhausted) source.verifyExhausted();
        piece.crc32 = result.crc32;
    } catch (...) {
        failQueuedAppend(bulk);
    }
    piece.size = entry.uncompressedSize;
    piece.done = true;
    queued->pieces.push_back(std::move(piece));
    queued->submitted = 1;
    closeFormingGroup(bulk);
    writeQueuedEntries(bulk, QueueWrite::ready);  // earlier entries: see makeRoomInQueue
    BulkQueue& queue = *bulk.queue;
    const std::lock_guard lock(queue.mutex);
    queue.entries.push_back(std::move(queued));
}

void ArchiveWriter::failQueuedAppend(BulkState& bulk) {
    const std::exception_ptr own = std::current_exception();
    writeQueuedEntries(bulk, QueueWrite::all);
    std::rethrow_exception(own);
}

void ArchiveWriter::writeQueuedEntries(BulkState& bulk, QueueWrite mode) {
    BulkQueue& queue = *bulk.queue;
    if (mode != QueueWrite::ready) queue.handOutRun();  // what is waited for must be under way
    bool wroteOne = false;
    for (;;) {
        std::unique_lock lock(queue.mutex);
        // A run of placed entries that could not be written fails the archive, not an entry.
        if (queue.entries.empty() || queue.placedFailure) {
            const bool failed = queue.placedFailure.has_value();
            lock.unlock();
            if (failed || mode == QueueWrite::all) settlePlacedWrites(bulk);
            return;
        }
        QueuedEntry& head = *queue.entries.front();
        if (head.direct && !head.error) {
            lock.unlock();
            try {
                copyQueuedEntry(bulk, head);
            } catch (...) {
                const std::lock_guard failedLock(queue.mutex);
                head.error = std::current_exception();
                continue;
            }
            wroteOne = true;
            lock.lock();
            queue.entries.pop_front();
            continue;
        }
        if (head.group && !head.error && head.submitted == 0) {
            // A group not handed out yet: still being formed, or it waited for memory.
            if (mode == QueueWrite::ready) return;
            lock.unlock();
            if (queue.forming == &head) queue.forming = nullptr;
            queue.submitGroup(head);
            continue;
        }
        if (head.group && !head.error && head.pieces.front().done) {
            lock.unlock();
            try {
                placeGroup(bulk, head.group);
            } catch (...) {
                wroteOne = true;
                throw;
            }
            wroteOne = true;
            lock.lock();
            queue.reserved -= head.pieces.front().reserved;
            queue.entries.pop_front();
            continue;
        }
        if (!head.error) {
            // Only the entry being queued can have nothing handed out beyond what is written.
            if (head.written == head.submitted) return;
            const QueuedEntry::Piece& next = head.pieces[head.written];
            if (!next.done) {
                if (mode == QueueWrite::ready || (mode == QueueWrite::oldest && wroteOne)) return;
                queue.waitFor(lock, &next, [&] { return next.done || head.error; });
                continue;
            }
        }
        if (head.error) {
            // Workers may still hold its pieces: they finish at once, seeing the error.
            queue.waitFor(lock, nullptr, [&] {
                return std::all_of(
                    head.pieces.begin(),
                    head.pieces.begin() + static_cast<std::ptrdiff_t>(head.submitted),
                    [](const QueuedEntry::Piece& piece) { return piece.done; });
            });
            // Its bytes on their way to their offsets land before anything takes their place.
            queue.waitForWrites(lock);
            const std::unique_ptr<QueuedEntry> failed = std::move(queue.entries.front());
            queue.entries.pop_front();
            for (std::size_t index = failed->written; index < failed->submitted; ++index) {
                queue.reserved -= failed->pieces[index].reserved;
            }
            lock.unlock();
            // Its bytes written so far lie behind the last complete entry, where the next entry
            // or the directory goes.
            if (failed->dropSilently) continue;
            try {
                std::rethrow_exception(failed->error);
            } catch (const Error& error) {
                throw error.withContext(archivePathForErrors(), failed->name);
            }
        }
        QueuedEntry::Piece& piece = head.pieces[head.written];
        // The pieces of a large entry may be written by the workers: they keep their bytes.
        std::shared_ptr<const OwnedPiece> shared;
        OwnedPiece local;
        if (head.pieces.size() > 1) {
            shared = std::make_shared<const OwnedPiece>(
                OwnedPiece{std::move(piece.data), std::move(piece.stored), {}, {}});
        } else {
            local = OwnedPiece{std::move(piece.data), std::move(piece.stored),
                               std::move(piece.header), std::move(piece.record)};
        }
        lock.unlock();
        const OwnedPiece& held = shared ? *shared : local;
        if (held.stored.bytes) head.entry.compressionMethod = CompressionMethod::none;
        // Taken before the call, which may take `shared` first.
        const ByteView bytes = held.view();
        try {
            writeQueuedPiece(bulk, head, bytes, piece.crc32, piece.size, head.written == 0,
                             head.written + 1 == head.pieces.size(), std::move(shared),
                             shared ? nullptr : &local);
        } catch (...) {
            const std::lock_guard failedLock(queue.mutex);
            queue.reserved -= piece.reserved;
            ++head.written;
            head.error = std::current_exception();
            continue;
        }
        wroteOne = true;
        lock.lock();
        queue.reserved -= piece.reserved;
        if (++head.written == head.pieces.size()) queue.entries.pop_front();
    }
}

namespace {

// Reads a queued file from its start in pieces of directCopyChunk through `buffer` (one byte
// larger), handing each piece and whether it is the last to `use`; a source shorter than its
// entry is refused, and with `refuseGrown` one longer too (the last read asks for a byte more).
template <typename Queued, typename Use>
void readSourceInPieces(const Queued& queued, std::uint8_t* buffer, bool refuseGrown,
                        const Use& use) {
    const std::uint64_t size = queued.entry.uncompressedSize;
    for (std::uint64_t offset = 0; offset < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(directCopyChunk, size - offset));
        const bool last = offset + wanted == size;
        const std::size_t asked = wanted + (last && refuseGrown ? 1 : 0);
        const std::size_t got =
            readInto(queued.file.get(), offset, buffer, asked, queued.sourcePath, wanted);
        if (got < wanted) {
            throw shortSource(queued.sourcePath, queued.entry.path, got, wanted, offset);
        }
        if (got > wanted) throw grownSource(queued.sourcePath, queued.entry.path);
        use(ByteView(buffer, wanted), offset, last);
        offset += wanted;
    }
}

}  // namespace

std::uint8_t* ArchiveWriter::BulkQueue::writerBuffer() {
    if (!copyBuffer) {
        copyBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(directCopyChunk + 1);
    }
    return copyBuffer.get();
}

void ArchiveWriter::copyQueuedEntry(BulkState& bulk, QueuedEntry& queued) {
    readSourceInPieces(
        queued, bulk.queue->writerBuffer(), true,
        [&](ByteView piece, std::uint64_t offset, bool last) {
            if (queued.progress != nullptr && queued.progress->isCancelled()) {
                throw Error(ArchiveError::cancelledOperation);
            }
            // The same steps as a block compressed elsewhere; only the data is already at hand.
            writeQueuedPiece(bulk, queued, piece, updateCRC32(piece, 0), piece.size(), offset == 0,
                             last);
            if (queued.progress != nullptr) {
                queued.progress->addCompletedUnitCount(static_cast<std::int64_t>(piece.size()));
            }
        });
}

std::uint32_t ArchiveWriter::BulkQueue::copyPiecesAt(const QueuedEntry& queued, int archive,
                                                     std::uint64_t dataOffset) {
    // Each piece where it lies in the source, at the same distance from the data's start: a
    // stored entry's data is its source byte for byte. The pieces are those the workers
    // compressed, so each copy holds at most one block in memory.
    struct Copy {
        std::uint32_t crc32 = 0;
        std::exception_ptr error;
    };
    std::vector<Copy> copies(queued.pieces.size());
    std::mutex copyMutex;
    std::condition_variable copied;
    std::size_t submitted = 0;
    std::size_t finished = 0;
    const auto waitForAll = [&] {
        std::unique_lock lock(copyMutex);
        copied.wait(lock, [&] { return finished == submitted; });
    };
    try {
        for (std::size_t index = 0; index < queued.pieces.size(); ++index) {
            pool.submit([&queued, &copies, &copyMutex, &copied, &finished, index, archive,
                         dataOffset](std::size_t) {
                const QueuedEntry::Piece& piece = queued.pieces[index];
                Copy& copy = copies[index];
                try {
                    const ReadBuffer input = readAt(queued.file.get(), piece.offset, piece.size,
                                                    queued.sourcePath, piece.size);
                    if (input.size < piece.size) {
                        throw shortSource(queued.sourcePath, queued.entry.path, input.size,
                                          piece.size, piece.offset);
                    }
                    copy.crc32 = updateCRC32(input.view(), 0);
                    if (!writeAllAt(archive, input.view().data(), input.view().size(),
                                    dataOffset + piece.offset)) {
                        throw writeFailure();
                    }
                } catch (...) {
                    copy.error = std::current_exception();
                }
                const std::lock_guard lock(copyMutex);
                ++finished;
                copied.notify_all();
            });
            const std::lock_guard lock(copyMutex);
            ++submitted;
        }
    } catch (...) {
        waitForAll();  // the copies under way hold this frame's state
        throw;
    }
    waitForAll();
    std::uint32_t checksum = 0;
    for (std::size_t index = 0; index < copies.size(); ++index) {
        if (copies[index].error) std::rethrow_exception(copies[index].error);
        checksum = index == 0
                       ? copies[index].crc32
                       : combineCRC32(checksum, copies[index].crc32, queued.pieces[index].size);
    }
    return checksum;
}

void ArchiveWriter::storeInstead(BulkState& bulk, QueuedEntry& queued) {
    // Its blocks did not shrink it: the data is copied again from the source, stored, over
    // the compressed bytes (which took at least as much room). Should the file have changed
    // since, its checksum tells. The copy goes to the workers, each piece to its own place
    // (the writer would otherwise copy every incompressible byte twice on its own), unless
    // the archive has no descriptor to write at an offset through (one in memory).
    std::FILE* stream = reader_.archiveFile_.get();
    const std::uint64_t dataOffset = queued.headerOffset + queued.headerSize;
    const int archive = ::fileno(stream);
    std::uint32_t checksum = 0;
    if (archive >= 0) {
        // The stream's buffered bytes go first: the copies write behind its back.
        if (std::fflush(stream) != 0) throw writeFailure(archivePathForErrors());
        checksum = bulk.queue->copyPiecesAt(queued, archive, dataOffset);
    } else {
        seekStream(stream, dataOffset);
        readSourceInPieces(queued, bulk.queue->writerBuffer(), false,
                           [&](ByteView piece, std::uint64_t, bool) {
                               checksum = updateCRC32(piece, checksum);
                               writeStreamChunk(piece, stream);
                           });
    }
    if (checksum != queued.crc32) {
        throw Error(ArchiveError::invalidEntrySize, queued.sourcePath, queued.entry.path,
                    "the file changed while it was read");
    }
    queued.entry.compressionMethod = CompressionMethod::none;
    queued.dataWritten = queued.entry.uncompressedSize;
}

void ArchiveWriter::writeQueuedPiece(BulkState& bulk, QueuedEntry& queued, ByteView data,
                                     std::uint32_t crc32, std::uint64_t size, bool first, bool last,
                                     std::shared_ptr<const OwnedPiece> owned,
                                     OwnedPiece* placeable) {
    std::FILE* stream = reader_.archiveFile_.get();
    const PendingEntry& entry = queued.entry;
    // The pieces of a large entry go to their offsets from the workers, and so do the entries
    // read whole, in runs: the writer's thread then copies none of their bytes (into an archive
    // in memory, it writes them itself).
    const int archive = owned && !reader_.memoryFile_ ? ::fileno(stream) : -1;
    const bool placed = placeable != nullptr && first && last && !reader_.memoryFile_;
    if (first) {
        // A cancelled entry is not written even when its workers were done before the
        // cancellation: nothing of a cancelled run lands behind the entry that stopped it.
        if (queued.progress != nullptr && queued.progress->isCancelled()) {
            throw Error(ArchiveError::cancelledOperation);
        }
        if (bulk.directoryOnDisk) bulk.nextOffset = beginOverwritingDirectory(bulk.bufferSize);
        bulk.directoryOnDisk = false;  // the entry overwrites it
        queued.headerOffset = bulk.nextOffset;
        if (!placed) seekStreamForWriting(stream, queued.headerOffset);
    } else if (archive < 0) {
        // Something else may have used the stream in between (an extraction).
        seekStreamForWriting(stream, queued.headerOffset + queued.headerSize + queued.dataWritten);
    }
    if (first && !last) {
        writeLocalFileHeader(entry, 0, 0);
        queued.headerSize = streamPosition(stream) - queued.headerOffset;
    }
    queued.crc32 = first ? crc32 : combineCRC32(queued.crc32, crc32, size);
    queued.dataWritten += data.size();
    if (!entry.zip64Sizes && queued.dataWritten >= sentinel32) {
        // Cannot happen while maximumDeflatedSize holds; refusing beats overwriting data.
        throw Error(ArchiveError::invalidEntrySize, archivePathForErrors(), entry.path,
                    "the compressed data outgrew the sizes of its local header");
    }
    LocalFileHeader header;
    Bytes record;
    if (first && last) {
        Bytes headerBytes;
        if (placeable != nullptr && !placeable->header.empty() &&
            queued.headerOffset < sentinel32) {
            // Made by the worker: the record only lacks its offset.
            headerBytes = std::move(placeable->header);
            record = std::move(placeable->record);
            CentralDirectoryStructure::setSerializedOffset(
                record, static_cast<std::uint32_t>(queued.headerOffset));
        } else {
            header = makeLocalFileHeader(entry, queued.dataWritten, queued.crc32);
            headerBytes = header.serialize();
            record = makeCentralDirectoryRecord(header, queued.headerOffset, entry).serialize();
        }
        queued.headerSize = headerBytes.size();
        if (placed) {
            placeQueuedEntry(bulk, queued.headerOffset, std::move(headerBytes),
                             std::move(*placeable));
        } else {
            writeStreamChunk(headerBytes, stream);
            writeStreamChunk(data, stream);
        }
    } else {
        if (archive >= 0) {
            bulk.queue->writeAt(
                archive, std::move(owned),
                queued.headerOffset + queued.headerSize + queued.dataWritten - data.size());
        } else {
            writeStreamChunk(data, stream);
        }
        if (!last) return;
        {
            std::unique_lock lock(bulk.queue->mutex);
            if (const std::exception_ptr failure = bulk.queue->waitForWrites(lock)) {
                std::rethrow_exception(failure);
            }
        }
        if (bulk.storeIfNotSmaller && entry.compressionMethod == CompressionMethod::deflate &&
            queued.dataWritten >= entry.uncompressedSize && queued.file) {
            storeInstead(bulk, queued);
        }
        seekStream(stream, queued.headerOffset);
        header = writeLocalFileHeader(entry, queued.dataWritten, queued.crc32);
        seekStream(stream, queued.headerOffset + queued.headerSize + queued.dataWritten);
        record = makeCentralDirectoryRecord(header, queued.headerOffset, entry).serialize();
    }
    bulk.addedRecords.insert(bulk.addedRecords.end(), record.begin(), record.end());
    ++bulk.addedCount;
    bulk.nextOffset = queued.headerOffset + queued.headerSize + queued.dataWritten;
    startWriteback(bulk);
}

void ArchiveWriter::placeQueuedEntry(BulkState& bulk, std::uint64_t offset, Bytes header,
                                     OwnedPiece data) {
    BulkQueue& queue = *bulk.queue;
    const int archive = ::fileno(reader_.archiveFile_.get());
    PlacedRun& run = queue.placing;
    if (!run.headers.empty() && run.offset + run.size != offset) queue.writePlacedRun(archive);
    if (run.headers.empty()) {
        run.offset = offset;
        run.recordsBefore = bulk.addedRecords.size();
        run.countBefore = bulk.addedCount;
    }
    run.size += header.size() + data.view().size();
    run.headers.push_back(std::move(header));
    run.data.push_back(std::move(data));
    if (run.size >= placedRunSize) queue.writePlacedRun(archive);
}

void ArchiveWriter::settlePlacedWrites(BulkState& bulk) {
    if (!bulk.queue) return;
    BulkQueue& queue = *bulk.queue;
    queue.writePlacedRun(::fileno(reader_.archiveFile_.get()));
    std::unique_lock lock(queue.mutex);
    queue.writeDone.wait(lock, [&] { return queue.writes == 0; });
    if (!queue.placedFailure) return;
    const BulkQueue::PlacedFailure failure = *std::exchange(queue.placedFailure, std::nullopt);
    lock.unlock();
    bulk.addedRecords.resize(failure.recordsBefore);
    bulk.addedCount = failure.countBefore;
    bulk.nextOffset = failure.offset;
    try {
        std::rethrow_exception(failure.error);
    } catch (const Error& error) {
        throw error.withContext(archivePathForErrors());
    }
}

}  // namespace marrowzip

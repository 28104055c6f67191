// How entries are appended, one at a time and in bulk.
//
// Bulk appends.
//
// Outside bulk mode each append rewrites the whole central directory behind its entry, so N
// appends cost O(N²). While a BulkAppend is open, each appendEntry writes its local record and
// data where the central directory began and keeps its central directory header in memory;
// the directory and end records are written once, when the bulk append ends. Its coders are
// set up once (one set per worker, see BulkOptions) and reset between entries.
//
// Every way out writes them: finish(), the BulkAppend's destruction (during unwinding too),
// and a failed append: that entry is cut off and the directory of the ones before it written
// at once, so the file is a valid archive holding them before the error reaches the caller,
// who may go on appending in the same bulk append. While it is open, listing entries and
// removeEntry refuse (the directory on disk is being overwritten); extracting an entry
// listed before it began still works.
//
// How a bulk append compresses. With more than one worker, a file appended from the file system
// is queued: appendEntry returns at once, workers read and compress it into memory (a file larger
// than the budget in blocks, several at a time) and later appends and finish() write the queued
// entries, in the order they were appended, so that the archive is laid out as by one thread.
// The error of a queued entry is thrown by the call that comes to write it and names that entry;
// the entries before it are in the archive, the failing one is not, nor is the entry of the call
// that throws. Entries queued behind it are written by later appends; when the bulk append ends
// (finish(), destruction, also while unwinding), the queue is written up to its first failed
// entry and the rest dropped. An entry's Progress must live until the bulk append ends (a child
// of a longer-lived Progress does). Appends through a provider, and all appends outside bulk
// mode, run on the caller's thread.
#pragma once

#include <cstdint>
#include <optional>

#include "marrowzip/common/types.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {

class Progress;

// What the file system tells of an item and a provider cannot: the entry's type, size
// (ignored for a folder), modification date and permissions (the type's default when
// absent).
struct ProvidedEntry {
    EntryType type = EntryType::file;
    std::int64_t uncompressedSize = 0;
    Date modificationDate = 0;
    std::optional<std::uint16_t> permissions = {};
};

// How an entry is appended: its method (a folder or link is always stored), the size of the
// pieces read and written, and the progress of this entry, e.g.
// `archive.appendEntry("a.txt", url, {.compressionMethod = CompressionMethod::deflate})`.
struct AppendOptions {
    CompressionMethod compressionMethod = CompressionMethod::none;
    std::int64_t bufferSize = defaultChunkSize;
    Progress* progress = nullptr;
    // For an append from the file system: the item as describeItem(s) told of it, when the
    // caller asked already (a plan made before the archive is touched); the append then does
    // not ask again. A file whose size changed since is refused when it is read.
    std::optional<ProvidedEntry> described = {};
};

struct BulkOptions {
    unsigned workers = 0;  // 0: one per core; 1: no worker threads
    // The memory all workers together may hold in data waiting to be compressed or written,
    // whatever their number; each gets an equal part.
    std::uint64_t memoryBudget = defaultMemoryBudget;
    // A file that deflate does not make smaller is stored instead (the method asked for is
    // otherwise the method written).
    bool storeIfNotSmaller = false;
    // Keeps the entries only when finish() succeeds: a failed append, a failed finish() or the
    // end of the bulk append without finish() puts the archive back as it was before the bulk
    // append began.
    bool allOrNothing = false;
    // How hard deflate works, from fastestCompressionLevel to smallestCompressionLevel (others
    // throw ArchiveError::invalidCompressionMethod). Stored entries ignore it.
    int level = defaultCompressionLevel;
};

}  // namespace marrowzip

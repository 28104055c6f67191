// The state of an open bulk append, shared by the archive and the BulkAppend handle, so that
// whichever of the two goes first ends the run and the other finds it ended.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "marrowzip/write/append_coders.hpp"
#include "marrowzip/write/archive_writer.hpp"
#include "marrowzip/write/bulk_queue.hpp"

namespace marrowzip {

struct BulkState {
    explicit BulkState(int level) : coders(level) {}

    ArchiveWriter* archive = nullptr;  // null once the run has ended
    std::int64_t bufferSize = defaultChunkSize;
    // The central directory headers of the entries written since the directory was last
    // written, serialized, and where the next local record goes (right behind their data).
    Bytes addedRecords;
    std::uint64_t addedCount = 0;
    std::uint64_t nextOffset = 0;
    std::uint64_t writebackFrom = 0;  // where startWriteback's next range begins
    // Whether the stream ends with a complete directory and end records: true before the first
    // entry and after a failed one; the cached directory is then the one on disk.
    bool directoryOnDisk = true;
    // The coders of the appends run on the caller's thread.
    AppendCoders coders;
    // The entries queued for the workers; null without workers.
    std::unique_ptr<ArchiveWriter::BulkQueue> queue;
    // The options of beginBulkAppend that the writer follows.
    bool storeIfNotSmaller = false;
    bool allOrNothing = false;
    // An error met when the run was ended by the archive's move or destruction, for finish().
    std::exception_ptr deferredError;
};

}  // namespace marrowzip

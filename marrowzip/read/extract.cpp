// ArchiveReader::extractEntry, the consumer form of Archive::extractEntry: an entry's bytes, chunk
// by chunk, from the archive stream to a callback.
#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/coder_choice.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/memory_budget.hpp"
#include "marrowzip/processing/page_buffer.hpp"
#include "marrowzip/processing/whole_buffer.hpp"
#include "marrowzip/read/archive_reader.hpp"

namespace marrowzip {
namespace {

constexpr std::uint64_t largestSigned = std::numeric_limits<std::int64_t>::max();

// The sizes the data step goes by; they come from the archive and are checked against what the
// data actually holds. Files and links use the central record and its ZIP64 block, as every
// reader that goes by the central directory does (writers that defer sizes to a data
// descriptor leave 0 only in the local header). They are also the sizes that the overlap check
// of whole-archive extraction claims (Entry::localRecordLength): a descriptor cannot make an
// entry look smaller than what is read.
struct DataSizes {
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
};

DataSizes dataSizesOf(const Entry& entry) {
    return {entry.centralCompressedSize(), entry.centralUncompressedSize()};
}

CompressionMethod methodOf(const Entry& entry) {
    const auto method = compressionMethodFromRaw(entry.localFileHeader.compressionMethod);
    if (!method) throw Error(ArchiveError::invalidCompressionMethod);
    return *method;
}

// An entry within the memory budget is read and inflated in one piece, then handed over in
// chunks of bufferSize, so that progress and cancellation see the same steps as when streaming.
// The output buffer has exactly the declared size: the inflater refuses any byte beyond it.
// The buffers are pages of their own, given back to the system when they go: a heap block of
// this size freed on a worker thread may stay with that thread's arena, and the memory of an
// extraction would then grow with its threads after all.
std::uint32_t inflateWhole(std::FILE* stream, DataSizes sizes, std::int64_t bufferSize,
                           bool skipChecksum, const EntryDataConsumer& consumer) {
    PageBuffer input(static_cast<std::size_t>(sizes.compressed));
    const std::size_t read =
        input.size() == 0 ? 0 : std::fread(input.data(), 1, input.size(), stream);
    if (read < input.size() && std::ferror(stream) != 0) throw Error(DataError::unreadableFile);
    const auto size = static_cast<std::size_t>(sizes.uncompressed);
    PageBuffer output(size);
    WholeBufferInflater().inflate(input.view().first(read), output.span());
    const ByteView inflated = output.view();
    const std::uint32_t checksum = skipChecksum ? 0 : updateCRC32(inflated, 0);
    if (size == 0) consumer(ByteView{});
    for (std::size_t position = 0; position < size;) {
        const std::size_t piece = std::min(size - position, static_cast<std::size_t>(bufferSize));
        consumer(inflated.subspan(position, piece));
        position += piece;
    }
    return checksum;
}

// Delivers exactly `sizes.uncompressed` bytes, or fails: an entry that lies about its size can
// neither fill a disk nor pass as complete when its data stops early.
std::uint32_t deliverData(std::FILE* stream, CompressionMethod method, DataSizes sizes,
                          std::int64_t bufferSize, bool skipChecksum,
                          const EntryDataConsumer& consumer, MemoryBudget* budget) {
    if (sizes.compressed > largestSigned || sizes.uncompressed > largestSigned) {
        throw Error(ArchiveError::invalidEntrySize);
    }
    // An empty entry gets its one empty chunk, whatever its method: there is nothing to read,
    // inflate or sum (some writers mark an empty file as deflated and store no bytes at all).
    if (sizes.compressed == 0 && sizes.uncompressed == 0) {
        consumer(ByteView{});
        return 0;
    }
    // Stored bytes are copied as they are, so the archive must hold every byte the entry
    // declares: a short read means that the archive ends inside the entry.
    const auto stored = [stream](std::int64_t, std::int64_t size) {
        Bytes chunk = readStreamChunk(size, stream);
        if (static_cast<std::int64_t>(chunk.size()) < size)
            throw Error(DataError::unreadableFile, {}, {}, "the archive ends inside the entry");
        return chunk;
    };
    if (method == CompressionMethod::none) {
        return copyStoredData(static_cast<std::int64_t>(sizes.uncompressed), bufferSize,
                              skipChecksum, stored, consumer);
    }
    if (prefersWholeBufferInflate(sizes.compressed, sizes.uncompressed)) {
        // With a shared budget, only while the other threads leave room; else streamed.
        const MemoryBudget::Share share =
            budget != nullptr ? budget->tryTake(sizes.compressed + sizes.uncompressed)
                              : MemoryBudget::Share();
        if (budget == nullptr || share) {
            return inflateWhole(stream, sizes, bufferSize, skipChecksum, consumer);
        }
    }
    std::uint64_t delivered = 0;
    const EntryDataConsumer counting = [&](ByteView chunk) {
        delivered += chunk.size();
        consumer(chunk);
    };
    // Compressed bytes may run out before the size the record claims: the DEFLATE stream's own
    // end decides, and the inflater reports a stream that stops short.
    const std::uint32_t checksum = decompressDeflate(
        static_cast<std::int64_t>(sizes.compressed), bufferSize, skipChecksum,
        [stream](std::int64_t, std::int64_t size) { return readStreamChunk(size, stream); },
        counting, sizes.uncompressed);
    if (delivered != sizes.uncompressed) {
        throw Error(CompressionError::corruptedData, {}, {},
                    "the data ends before the entry's declared size");
    }
    return checksum;
}

// A link's target is read like a file's data (inflated when deflated), in one piece.
Bytes readLinkTarget(std::FILE* stream, const Entry& entry, std::int64_t bufferSize,
                     MemoryBudget* budget) {
    const CompressionMethod method = methodOf(entry);
    const DataSizes sizes = dataSizesOf(entry);
    if (sizes.uncompressed > static_cast<std::uint64_t>(maximumLinkTargetLength())) {
        throw Error(ArchiveError::invalidEntryPath, {}, {},
                    "the link target is longer than the system allows");
    }
    Bytes target;
    target.reserve(static_cast<std::size_t>(sizes.uncompressed));
    deliverData(
        stream, method, sizes, bufferSize, true,
        [&](ByteView chunk) { appendBytes(target, chunk); }, budget);
    return target;
}

std::uint32_t deliverEntry(std::FILE* stream, const Entry& entry, std::int64_t bufferSize,
                           bool skipChecksum, Progress* progress, const EntryDataConsumer& consumer,
                           MemoryBudget* budget) {
    const EntryType type = entry.type();
    // An entry without data bytes to read (a folder, an empty file) costs no seek: archives of
    // many empty files are read without a system call per entry.
    const DataSizes sizes = dataSizesOf(entry);
    const bool readsNothing =
        type == EntryType::directory ||
        (type == EntryType::file && sizes.uncompressed == 0 &&
         (entry.localFileHeader.compressionMethod == 0 || sizes.compressed == 0));
    const std::uint64_t start = entry.dataStart();
    if (!readsNothing &&
        (start > largestSigned || ::fseeko(stream, static_cast<off_t>(start), SEEK_SET) != 0)) {
        throw Error(DataError::unreadableFile, {}, {}, "the entry's data cannot be reached");
    }
    const std::int64_t units = entry.progressUnits();
    if (progress != nullptr) progress->setTotalUnitCount(units);

    switch (type) {
        case EntryType::directory:
            consumer(ByteView{});
            if (progress != nullptr) progress->setCompletedUnitCount(units);
            return 0;
        case EntryType::symlink: {
            const Bytes target = readLinkTarget(stream, entry, bufferSize, budget);
            // A link's checksum is always computed: its target is what the check protects.
            const std::uint32_t checksum = updateCRC32(target, 0);
            consumer(target);
            if (progress != nullptr) progress->setCompletedUnitCount(units);
            return checksum;
        }
        case EntryType::file:
            break;
    }
    const auto observed = [&](ByteView chunk) {
        if (progress != nullptr && progress->isCancelled()) {
            throw Error(ArchiveError::cancelledOperation);
        }
        consumer(chunk);
        if (progress != nullptr)
            progress->addCompletedUnitCount(static_cast<std::int64_t>(chunk.size()));
    };
    return deliverData(stream, methodOf(entry), sizes, bufferSize, skipChecksum, observed, budget);
}

}  // namespace

std::int64_t maximumLinkTargetLength() {
    return PATH_MAX - 1;
}

// Not const: extraction moves the position of the archive's stream.
// NOLINTNEXTLINE(readability-make-member-function-const)
std::uint32_t ArchiveReader::extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                                          std::int64_t bufferSize, bool skipChecksum,
                                          Progress* progress) {
    try {
        if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
        return deliverEntry(stream(), entry, bufferSize, skipChecksum, progress, consumer,
                            memoryBudget_.get());
    } catch (const Error& error) {
        throw error.withContext(displayPath(), entry.path());
    }
}

}  // namespace marrowzip

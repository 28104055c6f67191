// The data of an appended entry: copied or compressed from its source to a sink (the archive
// stream, or memory for an entry that fits one buffer), chunk by chunk, with its CRC-32, progress
// and cancellation.
#include <algorithm>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/whole_buffer.hpp"
#include "marrowzip/write/append_coders.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {

ArchiveWriter::EntryDataResult ArchiveWriter::writeEntryData(
    const PendingEntry& entry, std::int64_t bufferSize, Progress* progress,
    const EntrySource& source, AppendCoders& coders, const EntryDataConsumer& sink) const {
    const auto write = [&](ByteView bytes) {
        sink(bytes);
        return static_cast<std::uint64_t>(bytes.size());
    };
    const auto total = static_cast<std::int64_t>(entry.uncompressedSize);
    const std::string& sourcePath = source.path.empty() ? archivePathForErrors() : source.path;

    // A source that delivers more or fewer bytes than asked for has changed since its size was
    // taken (or breaks its contract): its entry would carry sizes that disagree with its data.
    auto read = [&](std::int64_t position, std::int64_t size) {
        Bytes chunk = source.provider(position, size);
        if (chunk.size() != static_cast<std::uint64_t>(size)) {
            throw Error(ArchiveError::invalidEntrySize, sourcePath, entry.path,
                        "the source delivered " + std::to_string(chunk.size()) + " bytes of " +
                            std::to_string(size) + " at offset " + std::to_string(position));
        }
        return chunk;
    };
    // Only file data polls cancellation: a folder or a link is completed whatever it says. File
    // data counts as done once it is read.
    auto fetch = [&](std::int64_t position, std::int64_t size) {
        if (progress != nullptr && progress->isCancelled()) {
            throw Error(ArchiveError::cancelledOperation);
        }
        Bytes chunk = read(position, size);
        if (progress != nullptr) progress->addCompletedUnitCount(size);
        return chunk;
    };

    EntryDataResult result;
    switch (entry.type) {
        case EntryType::directory:
            source.provider(0, 0);
            if (progress != nullptr) progress->setCompletedUnitCount(1);
            return result;
        case EntryType::symlink: {
            const Bytes target = read(0, total);
            result.crc32 = updateCRC32(target, 0);
            result.written = write(target);
            if (progress != nullptr) progress->setCompletedUnitCount(total);
            return result;
        }
        case EntryType::file:
            break;
    }

    if (entry.compressionMethod == CompressionMethod::none) {
        for (std::int64_t position = 0; position < total;) {
            const std::int64_t wanted = std::min(bufferSize, total - position);
            const Bytes chunk = fetch(position, wanted);
            result.crc32 = updateCRC32(chunk, result.crc32);
            result.written += write(chunk);
            position += wanted;
            // Counted from the entry's start, whatever the progress held before.
            if (progress != nullptr) {
                progress->setCompletedUnitCount(static_cast<std::int64_t>(result.written));
            }
        }
        return result;
    }

    // A file that fits the memory budget is compressed in one piece: libdeflate is faster than
    // the streaming coder. It is still read chunk by chunk, so that the source, progress and
    // cancellation see the same steps as when streaming.
    if (compressesWhole(entry.uncompressedSize)) {
        Bytes data;
        data.reserve(static_cast<std::size_t>(total));
        std::int64_t position = 0;
        do {
            const Bytes chunk = fetch(position, std::min(bufferSize, total - position));
            appendBytes(data, chunk);
            position += static_cast<std::int64_t>(chunk.size());
        } while (position < total);
        result.crc32 = updateCRC32(data, 0);
        result.written = write(coders.compressWhole(data));
        return result;
    }

    // The compressor asks again with a size of 0 until it has drained; an exact count of the
    // delivered bytes still tells a short source from a complete one.
    std::int64_t delivered = 0;
    // One coder serves every entry of a bulk append, reset in between.
    DeflateCoder& coder = coders.streaming();
    coder.reset();
    result.crc32 = runDeflateStream(
        coder, total, bufferSize, false,
        [&](std::int64_t position, std::int64_t size) {
            Bytes chunk = fetch(position, size);
            delivered += static_cast<std::int64_t>(chunk.size());
            return chunk;
        },
        [&](ByteView chunk) { result.written += write(chunk); });
    if (delivered != total) {
        throw Error(ArchiveError::invalidEntrySize, sourcePath, entry.path,
                    "the source delivered " + std::to_string(delivered) + " bytes of " +
                        std::to_string(total));
    }
    return result;
}

}  // namespace marrowzip

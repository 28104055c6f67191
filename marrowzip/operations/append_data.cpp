// The data of an appended entry: copied or compressed from its source into the archive stream,
// chunk by chunk, with its CRC-32, progress and cancellation.
#include <algorithm>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"

namespace marrowzip {

Archive::EntryDataResult Archive::writeEntryData(const PendingEntry& entry, std::int64_t bufferSize,
                                                 Progress* progress, const EntrySource& source) {
    std::FILE* stream = archiveFile_.get();
    const auto total = static_cast<std::int64_t>(entry.uncompressedSize);
    const std::string& sourcePath = source.path.empty() ? archivePathForErrors() : source.path;

    // A source that delivers more or fewer bytes than asked for has changed since its size was
    // taken (or breaks its contract): its entry would carry sizes that disagree with its data.
    auto fetch = [&](std::int64_t position, std::int64_t size) {
        if (progress != nullptr && progress->isCancelled()) {
            throw Error(ArchiveError::cancelledOperation);
        }
        Bytes chunk = source.provider(position, size);
        if (chunk.size() != static_cast<std::uint64_t>(size)) {
            throw Error(ArchiveError::invalidEntrySize, sourcePath, entry.path,
                        "the source delivered " + std::to_string(chunk.size()) + " bytes of " +
                            std::to_string(size) + " at offset " + std::to_string(position));
        }
        return chunk;
    };

    EntryDataResult result;
    switch (entry.type) {
        case EntryType::directory:
            source.provider(0, 0);
            if (progress != nullptr) progress->setCompletedUnitCount(1);
            return result;
        case EntryType::symlink: {
            const Bytes target = fetch(0, total);
            result.crc32 = updateCRC32(target, 0);
            result.written = writeStreamChunk(target, stream);
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
            result.written += writeStreamChunk(chunk, stream);
            position += wanted;
            if (progress != nullptr) {
                progress->setCompletedUnitCount(static_cast<std::int64_t>(result.written));
            }
        }
        return result;
    }

    // The compressor asks again with a size of 0 until it has drained; an exact count of the
    // delivered bytes still tells a short source from a complete one.
    std::int64_t delivered = 0;
    result.crc32 = compressDeflate(
        total, bufferSize,
        [&](std::int64_t position, std::int64_t size) {
            Bytes chunk = fetch(position, size);
            delivered += static_cast<std::int64_t>(chunk.size());
            if (progress != nullptr) {
                progress->addCompletedUnitCount(static_cast<std::int64_t>(chunk.size()));
            }
            return chunk;
        },
        [&](ByteView chunk) { result.written += writeStreamChunk(chunk, stream); });
    if (delivered != total) {
        throw Error(ArchiveError::invalidEntrySize, sourcePath, entry.path,
                    "the source delivered " + std::to_string(delivered) + " bytes of " +
                        std::to_string(total));
    }
    return result;
}

}  // namespace marrowzip

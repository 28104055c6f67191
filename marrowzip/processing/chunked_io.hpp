// The byte-moving primitives: one chunk read from a stream, buffers written to a stream, and the
// copy of stored entry data from a provider to a consumer. These are the only places where a
// stream failure becomes a DataError.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/common/unique_file.hpp"

namespace marrowzip {

// Reads up to `size` bytes at the stream's position. Fewer bytes (or none) at the end of the
// stream is not an error. Never allocates much more than the stream can still deliver, so that
// a size taken from a damaged record cannot exhaust memory. Throws DataError::unreadableFile.
Bytes readStreamChunk(std::int64_t size, std::FILE* stream);

// Opens the file at `path` for reading its bytes into an entry: a final link is refused, not
// followed (the item may have been swapped for one since its type was taken), and a named pipe
// without a writer reads as empty instead of waiting. Throws FileError::fileReadNoPermission or
// the error of open(2), naming the path.
UniqueFd openSourceDescriptor(const std::string& path);
// A stream over `descriptor`, which then owns it; throws the error of fdopen(3), naming `path`.
UniqueFile streamOver(UniqueFd descriptor, const char* mode, const std::string& path);

// Writes the whole buffer; returns the count the stream accepted. Throws
// DataError::unwritableFile when the stream's error indicator is set afterwards (also when it
// was set before, and also for an empty buffer).
std::uint64_t writeStreamChunk(ByteView data, std::FILE* stream);
// The error of a failed write, saying so when the disk (or the quota) is full.
Error writeFailure(std::string path = {});

// Writes the first `size` bytes of `data` in pieces of `pieceSize`; returns the number of bytes
// written: `size`, or fewer when `data` is shorter (only the bytes that exist are written), 0
// when nothing was written. Throws ArchiveError::invalidBufferSize when pieceSize < 1.
std::uint64_t writeStreamInPieces(ByteView data, std::uint64_t size, std::int64_t pieceSize,
                                  std::FILE* stream);

// Reads up to `size` bytes at `offset` of a descriptor, through interruptions and short reads,
// leaving its position alone; returns how many came (fewer only at the end of the file), or -1
// on an error, with errno set.
ssize_t readAllAt(int descriptor, std::uint8_t* data, std::size_t size, std::uint64_t offset);
// Writes all `size` bytes at `offset`; false on an error, with errno set (EIO when the
// descriptor takes no more bytes).
bool writeAllAt(int descriptor, const std::uint8_t* data, std::size_t size, std::uint64_t offset);
// Writes all of `parts`, one behind the other, from `offset`, in as few calls as the system
// allows (pwritev); false on an error, with errno set.
bool writeAllAt(int descriptor, std::span<const ByteView> parts, std::uint64_t offset);

// Copies `size` bytes of stored data in chunks of at most `bufferSize`; returns their CRC-32
// (0 with skipChecksum). A size of 0 gives one consumer call with an empty chunk.
std::uint32_t copyStoredData(std::int64_t size, std::int64_t bufferSize, bool skipChecksum,
                             const EntryDataProvider& provider, const EntryDataConsumer& consumer);

}  // namespace marrowzip

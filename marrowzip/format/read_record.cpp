#include "marrowzip/common/error.hpp"
#include "marrowzip/format/file_position.hpp"
#include "marrowzip/format/records.hpp"
#include "marrowzip/processing/chunked_io.hpp"

namespace marrowzip {

template <typename Record>
std::optional<Record> readRecord(std::FILE* stream, std::uint64_t offset) {
    if (stream == nullptr || !fitsFilePosition(offset)) return std::nullopt;
    if (::fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return std::nullopt;
    // The tail lengths come from the archive: readStreamChunk never allocates more than the
    // stream can still deliver, and a short tail makes the record absent.
    const TailBytesProvider tail = [stream](std::size_t length) -> std::optional<Bytes> {
        try {
            return readStreamChunk(static_cast<std::int64_t>(length), stream);
        } catch (const Error&) {
            return std::nullopt;
        }
    };
    try {
        const Bytes fixedPart =
            readStreamChunk(static_cast<std::int64_t>(Record::fixedSize), stream);
        return Record::parse(fixedPart, tail);
    } catch (const Error&) {
        return std::nullopt;
    }
}

template std::optional<LocalFileHeader> readRecord<LocalFileHeader>(std::FILE*, std::uint64_t);
template std::optional<CentralDirectoryStructure> readRecord<CentralDirectoryStructure>(
    std::FILE*, std::uint64_t);
template std::optional<DataDescriptor32> readRecord<DataDescriptor32>(std::FILE*, std::uint64_t);
template std::optional<DataDescriptor64> readRecord<DataDescriptor64>(std::FILE*, std::uint64_t);
template std::optional<EndOfCentralDirectoryRecord> readRecord<EndOfCentralDirectoryRecord>(
    std::FILE*, std::uint64_t);
template std::optional<ZIP64EndOfCentralDirectoryRecord>
readRecord<ZIP64EndOfCentralDirectoryRecord>(std::FILE*, std::uint64_t);
template std::optional<ZIP64EndOfCentralDirectoryLocator>
readRecord<ZIP64EndOfCentralDirectoryLocator>(std::FILE*, std::uint64_t);

}  // namespace marrowzip

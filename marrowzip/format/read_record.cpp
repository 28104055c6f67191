#include <algorithm>
#include <array>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/records.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/file_position.hpp"
#include "marrowzip/processing/positional_window.hpp"

namespace marrowzip {

template <typename Record>
std::optional<Record> readRecord(std::FILE* stream, std::uint64_t offset) {
    if (stream == nullptr || !fitsFilePosition(offset)) return std::nullopt;
    if (::fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return std::nullopt;
    // The tail lengths come from the archive: readStreamChunk never allocates more than the
    // stream can still deliver, and a short tail makes the record absent.
    Bytes tailBytes;
    const TailBytesProvider tail = [stream,
                                    &tailBytes](std::size_t length) -> std::optional<ByteView> {
        try {
            tailBytes = readStreamChunk(static_cast<std::int64_t>(length), stream);
            return ByteView(tailBytes);
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

namespace {

// Parses the record at `offset` of the window with `parse(fixedPart, tail)`; absent (or false)
// when the bytes are not there.
template <typename Record, typename Parse>
auto parseFromWindow(PositionalWindow& window, std::uint64_t offset, const Parse& parse)
    -> decltype(parse(ByteView(), TailBytesProvider())) {
    if (!fitsFilePosition(offset)) return {};
    // The fixed part is copied: reading the tail may move the window.
    std::array<std::uint8_t, Record::fixedSize> fixedPart{};
    const ByteView fixed = window.read(offset, fixedPart.size());
    if (fixed.size() < fixedPart.size()) return {};
    std::copy(fixed.begin(), fixed.end(), fixedPart.begin());
    // The tail lengths come from the archive; each is at most 64 KiB.
    std::uint64_t next = offset + Record::fixedSize;
    // The window's bytes serve as they are: the parse copies them before anything reads again.
    const TailBytesProvider tail = [&window, &next](std::size_t length) -> std::optional<ByteView> {
        const ByteView bytes = window.read(next, length);
        if (bytes.size() < length) return std::nullopt;
        next += length;
        return bytes;
    };
    return parse(ByteView(fixedPart), tail);
}

}  // namespace

template <typename Record>
std::optional<Record> readRecord(PositionalWindow& window, std::uint64_t offset) {
    return parseFromWindow<Record>(
        window, offset,
        [](ByteView fixedPart, const TailBytesProvider& tail) -> std::optional<Record> {
            return Record::parse(fixedPart, tail);
        });
}

template <typename Record>
bool readRecord(PositionalWindow& window, std::uint64_t offset, Record& record) {
    return parseFromWindow<Record>(window, offset,
                                   [&record](ByteView fixedPart, const TailBytesProvider& tail) {
                                       return Record::parse(fixedPart, tail, record);
                                   });
}

template std::optional<LocalFileHeader> readRecord<LocalFileHeader>(std::FILE*, std::uint64_t);
template bool readRecord<LocalFileHeader>(PositionalWindow&, std::uint64_t, LocalFileHeader&);
template bool readRecord<CentralDirectoryStructure>(PositionalWindow&, std::uint64_t,
                                                    CentralDirectoryStructure&);
template std::optional<DataDescriptor32> readRecord<DataDescriptor32>(PositionalWindow&,
                                                                      std::uint64_t);
template std::optional<DataDescriptor64> readRecord<DataDescriptor64>(PositionalWindow&,
                                                                      std::uint64_t);
template std::optional<EndOfCentralDirectoryRecord> readRecord<EndOfCentralDirectoryRecord>(
    std::FILE*, std::uint64_t);
template std::optional<ZIP64EndOfCentralDirectoryRecord>
readRecord<ZIP64EndOfCentralDirectoryRecord>(std::FILE*, std::uint64_t);
template std::optional<ZIP64EndOfCentralDirectoryLocator>
readRecord<ZIP64EndOfCentralDirectoryLocator>(std::FILE*, std::uint64_t);

}  // namespace marrowzip

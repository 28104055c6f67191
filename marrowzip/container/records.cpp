#include "marrowzip/container/records.hpp"

#include <sys/types.h>

#include <algorithm>
#include <limits>

#include "marrowzip/common/error.hpp"
#include "marrowzip/container/byte_cursor.hpp"
#include "marrowzip/processing/chunked_io.hpp"

namespace marrowzip {
namespace {

constexpr std::uint32_t sentinel32 = 0xFFFFFFFF;
constexpr std::uint16_t sentinel16 = 0xFFFF;

// The largest position the platform's signed file offset can express. A 64-bit size or offset
// read from an archive beyond it can never be sought to, so the record holding it is refused.
constexpr std::uint64_t maximumFilePosition =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

bool fitsFilePosition(std::uint64_t value) {
    return value <= maximumFilePosition;
}

std::size_t widthOf(ZIP64Field field) {
    return field == ZIP64Field::diskNumberStart ? 4 : 8;
}

bool contains(std::span<const ZIP64Field> fields, ZIP64Field field) {
    return std::find(fields.begin(), fields.end(), field) != fields.end();
}

// Asks the provider for exactly `length` bytes; anything else counts as a failure.
std::optional<Bytes> tailOfLength(const TailBytesProvider& tail, std::size_t length) {
    auto bytes = tail(length);
    if (!bytes || bytes->size() != length) return std::nullopt;
    return bytes;
}

// The blocks of an extra field other than the ZIP64 one, as they stand. A block that claims more
// bytes than remain ends the walk and is kept verbatim with everything after it.
Bytes extraFieldWithoutZIP64Blocks(ByteView extraField) {
    Bytes kept;
    std::size_t index = 0;
    while (extraField.size() - index >= 4) {
        ByteReader header(extraField.subspan(index, 4));
        const std::uint16_t id = header.u16();
        const std::size_t end = index + 4 + header.u16();
        if (end > extraField.size()) break;
        if (id != ZIP64ExtendedInformation::zip64HeaderID) {
            kept.insert(kept.end(), extraField.begin() + static_cast<std::ptrdiff_t>(index),
                        extraField.begin() + static_cast<std::ptrdiff_t>(end));
        }
        index = end;
    }
    kept.insert(kept.end(), extraField.begin() + static_cast<std::ptrdiff_t>(index),
                extraField.end());
    return kept;
}

}  // namespace

// ---- ZIP64 extended information ----

std::optional<ZIP64ExtendedInformation> ZIP64ExtendedInformation::parse(
    ByteView block, std::span<const Field> fields) {
    std::size_t expected = 4;
    for (Field field : fields)
        expected += widthOf(field);
    if (block.size() != expected) return std::nullopt;

    ByteReader in(block);
    ZIP64ExtendedInformation info;
    in.u16();  // the header ID was checked by whoever found the block
    info.dataSize = in.u16();
    if (contains(fields, Field::uncompressedSize)) info.uncompressedSize = in.u64();
    if (contains(fields, Field::compressedSize)) info.compressedSize = in.u64();
    if (contains(fields, Field::relativeOffsetOfLocalHeader)) {
        info.relativeOffsetOfLocalHeader = in.u64();
    }
    if (contains(fields, Field::diskNumberStart)) info.diskNumberStart = in.u32();
    if (!in.ok()) return std::nullopt;
    if (!fitsFilePosition(info.uncompressedSize) || !fitsFilePosition(info.compressedSize) ||
        !fitsFilePosition(info.relativeOffsetOfLocalHeader)) {
        return std::nullopt;
    }
    return info;
}

std::uint16_t ZIP64ExtendedInformation::serializedDataSize() const {
    std::uint16_t size = 0;
    if (uncompressedSize != 0 || compressedSize != 0) size += 16;
    if (relativeOffsetOfLocalHeader != 0) size += 8;
    if (diskNumberStart != 0) size += 4;
    return size;
}

Bytes ZIP64ExtendedInformation::serialize() const {
    ByteWriter out;
    out.u16(headerID).u16(dataSize);
    if (uncompressedSize != 0 || compressedSize != 0) out.u64(uncompressedSize).u64(compressedSize);
    if (relativeOffsetOfLocalHeader != 0) out.u64(relativeOffsetOfLocalHeader);
    if (diskNumberStart != 0) out.u32(diskNumberStart);
    return std::move(out).take();
}

std::optional<ZIP64ExtendedInformation> ZIP64ExtendedInformation::withNewOffset(
    const std::optional<ZIP64ExtendedInformation>& existing, std::uint64_t newOffset) {
    if (!existing) return std::nullopt;
    ZIP64ExtendedInformation info;
    info.uncompressedSize = existing->uncompressedSize;
    info.compressedSize = existing->compressedSize;
    info.diskNumberStart = existing->diskNumberStart;
    info.relativeOffsetOfLocalHeader = newOffset >= sentinel32 ? newOffset : 0;
    if (info.uncompressedSize == 0 && info.compressedSize == 0 &&
        info.relativeOffsetOfLocalHeader == 0 && info.diskNumberStart == 0) {
        return std::nullopt;
    }
    info.dataSize = info.serializedDataSize();
    return info;
}

std::optional<ZIP64ExtendedInformation> findZIP64Block(ByteView extraFieldData,
                                                       std::span<const ZIP64Field> fieldsNeeded) {
    const std::size_t n = extraFieldData.size();
    if (n <= 4) return std::nullopt;
    std::size_t index = 0;
    do {
        ByteReader header(extraFieldData.subspan(index, 4));
        const std::uint16_t id = header.u16();
        const std::size_t end = index + 4 + header.u16();
        if (end > n) return std::nullopt;
        if (id == ZIP64ExtendedInformation::zip64HeaderID) {
            return ZIP64ExtendedInformation::parse(extraFieldData.subspan(index, end - index),
                                                   fieldsNeeded);
        }
        index = end;
    } while (index < n - 4);
    return std::nullopt;
}

std::optional<ByteView> extraFieldBlockData(ByteView extraFieldData, std::uint16_t headerID) {
    std::size_t index = 0;
    while (extraFieldData.size() - index >= 4) {
        ByteReader header(extraFieldData.subspan(index, 4));
        const std::uint16_t id = header.u16();
        const std::size_t size = header.u16();
        if (index + 4 + size > extraFieldData.size()) return std::nullopt;
        if (id == headerID) return extraFieldData.subspan(index + 4, size);
        index += 4 + size;
    }
    return std::nullopt;
}

std::vector<ZIP64Field> fieldsNeeded(const LocalFileHeader& header) {
    std::vector<ZIP64Field> fields;
    if (header.uncompressedSize == sentinel32) fields.push_back(ZIP64Field::uncompressedSize);
    if (header.compressedSize == sentinel32) fields.push_back(ZIP64Field::compressedSize);
    return fields;
}

std::vector<ZIP64Field> fieldsNeeded(const CentralDirectoryStructure& header) {
    std::vector<ZIP64Field> fields;
    if (header.uncompressedSize == sentinel32) fields.push_back(ZIP64Field::uncompressedSize);
    if (header.compressedSize == sentinel32) fields.push_back(ZIP64Field::compressedSize);
    if (header.relativeOffsetOfLocalHeader == sentinel32) {
        fields.push_back(ZIP64Field::relativeOffsetOfLocalHeader);
    }
    if (header.diskNumberStart == sentinel16) fields.push_back(ZIP64Field::diskNumberStart);
    return fields;
}

// ---- Local file header ----

std::optional<LocalFileHeader> LocalFileHeader::parse(ByteView fixedPart,
                                                      const TailBytesProvider& tail) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    LocalFileHeader h;
    h.localFileHeaderSignature = in.u32();
    h.versionNeededToExtract = in.u16();
    h.generalPurposeBitFlag = in.u16();
    h.compressionMethod = in.u16();
    h.lastModFileTime = in.u16();
    h.lastModFileDate = in.u16();
    h.crc32 = in.u32();
    h.compressedSize = in.u32();
    h.uncompressedSize = in.u32();
    h.fileNameLength = in.u16();
    h.extraFieldLength = in.u16();
    if (!in.ok() || h.localFileHeaderSignature != signature) return std::nullopt;

    auto rest = tailOfLength(tail, std::size_t{h.fileNameLength} + h.extraFieldLength);
    if (!rest) return std::nullopt;
    ByteReader variable(*rest);
    h.fileNameData = variable.bytes(h.fileNameLength);
    h.extraFieldData = variable.bytes(h.extraFieldLength);
    h.zip64Block = findZIP64Block(h.extraFieldData, fieldsNeeded(h));
    return h;
}

Bytes LocalFileHeader::serialize() const {
    ByteWriter out;
    out.u32(localFileHeaderSignature)
        .u16(versionNeededToExtract)
        .u16(generalPurposeBitFlag)
        .u16(compressionMethod)
        .u16(lastModFileTime)
        .u16(lastModFileDate)
        .u32(crc32)
        .u32(compressedSize)
        .u32(uncompressedSize)
        .u16(fileNameLength)
        .u16(extraFieldLength)
        .bytes(fileNameData)
        .bytes(extraFieldData);
    return std::move(out).take();
}

// ---- Central directory structure ----

std::optional<CentralDirectoryStructure> CentralDirectoryStructure::parse(
    ByteView fixedPart, const TailBytesProvider& tail) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    CentralDirectoryStructure r;
    r.centralDirectorySignature = in.u32();
    r.versionMadeBy = in.u16();
    r.versionNeededToExtract = in.u16();
    r.generalPurposeBitFlag = in.u16();
    r.compressionMethod = in.u16();
    r.lastModFileTime = in.u16();
    r.lastModFileDate = in.u16();
    r.crc32 = in.u32();
    r.compressedSize = in.u32();
    r.uncompressedSize = in.u32();
    r.fileNameLength = in.u16();
    r.extraFieldLength = in.u16();
    r.fileCommentLength = in.u16();
    r.diskNumberStart = in.u16();
    r.internalFileAttributes = in.u16();
    r.externalFileAttributes = in.u32();
    r.relativeOffsetOfLocalHeader = in.u32();
    if (!in.ok() || r.centralDirectorySignature != signature) return std::nullopt;

    const std::size_t tailLength =
        std::size_t{r.fileNameLength} + r.extraFieldLength + r.fileCommentLength;
    auto rest = tailOfLength(tail, tailLength);
    if (!rest) return std::nullopt;
    ByteReader variable(*rest);
    r.fileNameData = variable.bytes(r.fileNameLength);
    r.extraFieldData = variable.bytes(r.extraFieldLength);
    r.fileCommentData = variable.bytes(r.fileCommentLength);
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return r;
}

Bytes CentralDirectoryStructure::serialize() const {
    ByteWriter out;
    out.u32(centralDirectorySignature)
        .u16(versionMadeBy)
        .u16(versionNeededToExtract)
        .u16(generalPurposeBitFlag)
        .u16(compressionMethod)
        .u16(lastModFileTime)
        .u16(lastModFileDate)
        .u32(crc32)
        .u32(compressedSize)
        .u32(uncompressedSize)
        .u16(fileNameLength)
        .u16(extraFieldLength)
        .u16(fileCommentLength)
        .u16(diskNumberStart)
        .u16(internalFileAttributes)
        .u32(externalFileAttributes)
        .u32(relativeOffsetOfLocalHeader)
        .bytes(fileNameData)
        .bytes(extraFieldData)
        .bytes(fileCommentData);
    return std::move(out).take();
}

CentralDirectoryStructure CentralDirectoryStructure::fromLocalFileHeader(
    const LocalFileHeader& header, std::uint32_t externalFileAttributes,
    std::uint32_t relativeOffset, Bytes extraField) {
    CentralDirectoryStructure r;
    r.versionMadeBy = 789;
    r.versionNeededToExtract = header.versionNeededToExtract;
    r.generalPurposeBitFlag = header.generalPurposeBitFlag;
    r.compressionMethod = header.compressionMethod;
    r.lastModFileTime = header.lastModFileTime;
    r.lastModFileDate = header.lastModFileDate;
    r.crc32 = header.crc32;
    r.compressedSize = header.compressedSize;
    r.uncompressedSize = header.uncompressedSize;
    r.fileNameLength = header.fileNameLength;
    r.fileNameData = header.fileNameData;
    r.extraFieldLength =
        static_cast<std::uint16_t>(std::min<std::size_t>(extraField.size(), 0xFFFF));
    r.extraFieldData = std::move(extraField);
    r.externalFileAttributes = externalFileAttributes;
    r.relativeOffsetOfLocalHeader = relativeOffset;
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return r;
}

CentralDirectoryStructure CentralDirectoryStructure::withNewOffset(
    const CentralDirectoryStructure& record, const std::optional<ZIP64ExtendedInformation>& zip64,
    std::uint32_t relativeOffset) {
    CentralDirectoryStructure r = record;
    r.relativeOffsetOfLocalHeader = relativeOffset;
    // A caller that passes no block for a record that had one would leave the old block behind,
    // still answering the old sentinels with the old offset; rebuild it from the record instead.
    std::optional<ZIP64ExtendedInformation> block =
        zip64 ? zip64 : ZIP64ExtendedInformation::withNewOffset(record.zip64Block, relativeOffset);

    // The block is only found again when the header's sentinels call for exactly the values the
    // serializer writes, so the 32-bit fields are brought in line with the block. The serializer
    // writes both sizes or neither: a size that the record kept in its 32-bit field moves into
    // the block, and a sentinel whose block value is 0 (forced-ZIP64 writers do that for empty
    // files) becomes a plain 0.
    const auto effective = [&](std::uint32_t field, std::uint64_t blockValue) -> std::uint64_t {
        return field == sentinel32 && record.zip64Block ? blockValue : field;
    };
    const std::uint64_t uncompressed = effective(
        record.uncompressedSize, record.zip64Block ? record.zip64Block->uncompressedSize : 0);
    const std::uint64_t compressed =
        effective(record.compressedSize, record.zip64Block ? record.zip64Block->compressedSize : 0);

    if (block) {
        if (block->uncompressedSize != 0 || block->compressedSize != 0 ||
            uncompressed >= sentinel32 || compressed >= sentinel32) {
            block->uncompressedSize = uncompressed;
            block->compressedSize = compressed;
        }
        const bool sizesInBlock = block->uncompressedSize != 0 || block->compressedSize != 0;
        r.uncompressedSize = sizesInBlock ? sentinel32 : static_cast<std::uint32_t>(uncompressed);
        r.compressedSize = sizesInBlock ? sentinel32 : static_cast<std::uint32_t>(compressed);
        if (block->relativeOffsetOfLocalHeader != 0) r.relativeOffsetOfLocalHeader = sentinel32;
        if (block->diskNumberStart != 0) {
            r.diskNumberStart = sentinel16;
        } else if (r.diskNumberStart == sentinel16) {
            r.diskNumberStart = 0;
        }
        block->headerID = ZIP64ExtendedInformation::zip64HeaderID;
        block->dataSize = block->serializedDataSize();

        // Other blocks (names in Unicode, timestamps) stay, behind the ZIP64 block, as long as
        // the whole still fits the 16-bit length.
        Bytes extra = block->serialize();
        const Bytes others = extraFieldWithoutZIP64Blocks(record.extraFieldData);
        if (extra.size() + others.size() <= 0xFFFF)
            extra.insert(extra.end(), others.begin(), others.end());
        r.extraFieldData = std::move(extra);
        r.versionNeededToExtract = std::max<std::uint16_t>(record.versionNeededToExtract, 45);
    } else {
        if (record.zip64Block) {
            // Nothing is left for a block to carry: every former sentinel held 0.
            if (r.uncompressedSize == sentinel32) r.uncompressedSize = 0;
            if (r.compressedSize == sentinel32) r.compressedSize = 0;
            if (r.diskNumberStart == sentinel16) r.diskNumberStart = 0;
            r.extraFieldData = extraFieldWithoutZIP64Blocks(record.extraFieldData);
        }
        if (r.versionNeededToExtract >= 45) r.versionNeededToExtract = 20;
    }
    r.extraFieldLength =
        static_cast<std::uint16_t>(std::min<std::size_t>(r.extraFieldData.size(), 0xFFFF));
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return r;
}

// ---- Data descriptor ----

template <typename SizeType>
std::optional<DataDescriptor<SizeType>> DataDescriptor<SizeType>::parse(ByteView fixedPart,
                                                                        const TailBytesProvider&) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    // The signature is optional on disk: without it the fields start at once and the last four
    // bytes read belong to whatever follows.
    if (in.u32() != signature) in = ByteReader(fixedPart);
    DataDescriptor descriptor;
    descriptor.crc32 = in.u32();
    const auto readSize = [&in] {
        return static_cast<SizeType>(sizeof(SizeType) == 8 ? in.u64() : in.u32());
    };
    descriptor.compressedSize = readSize();
    descriptor.uncompressedSize = readSize();
    if (!in.ok()) return std::nullopt;
    if (!fitsFilePosition(descriptor.compressedSize) ||
        !fitsFilePosition(descriptor.uncompressedSize)) {
        return std::nullopt;
    }
    return descriptor;
}

template struct DataDescriptor<std::uint32_t>;
template struct DataDescriptor<std::uint64_t>;

// ---- End records ----

std::optional<EndOfCentralDirectoryRecord> EndOfCentralDirectoryRecord::parse(
    ByteView fixedPart, const TailBytesProvider& tail) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    EndOfCentralDirectoryRecord r;
    r.endOfCentralDirectorySignature = in.u32();
    r.numberOfDisk = in.u16();
    r.numberOfDiskStart = in.u16();
    r.totalNumberOfEntriesOnDisk = in.u16();
    r.totalNumberOfEntriesInCentralDirectory = in.u16();
    r.sizeOfCentralDirectory = in.u32();
    r.offsetToStartOfCentralDirectory = in.u32();
    r.zipFileCommentLength = in.u16();
    if (!in.ok() || r.endOfCentralDirectorySignature != signature) return std::nullopt;
    auto comment = tailOfLength(tail, r.zipFileCommentLength);
    if (!comment) return std::nullopt;
    r.zipFileCommentData = std::move(*comment);
    return r;
}

Bytes EndOfCentralDirectoryRecord::serialize() const {
    ByteWriter out;
    out.u32(endOfCentralDirectorySignature)
        .u16(numberOfDisk)
        .u16(numberOfDiskStart)
        .u16(totalNumberOfEntriesOnDisk)
        .u16(totalNumberOfEntriesInCentralDirectory)
        .u32(sizeOfCentralDirectory)
        .u32(offsetToStartOfCentralDirectory)
        .u16(zipFileCommentLength)
        .bytes(zipFileCommentData);
    return std::move(out).take();
}

std::optional<ZIP64EndOfCentralDirectoryRecord> ZIP64EndOfCentralDirectoryRecord::parse(
    ByteView fixedPart, const TailBytesProvider&) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    ZIP64EndOfCentralDirectoryRecord r;
    r.zip64EOCDRecordSignature = in.u32();
    r.sizeOfZIP64EndOfCentralDirectoryRecord = in.u64();
    r.versionMadeBy = in.u16();
    r.versionNeededToExtract = in.u16();
    r.numberOfDisk = in.u32();
    r.numberOfDiskStart = in.u32();
    r.totalNumberOfEntriesOnDisk = in.u64();
    r.totalNumberOfEntriesInCentralDirectory = in.u64();
    r.sizeOfCentralDirectory = in.u64();
    r.offsetToStartOfCentralDirectory = in.u64();
    if (!in.ok() || r.zip64EOCDRecordSignature != signature || r.versionNeededToExtract < 45) {
        return std::nullopt;
    }
    if (!fitsFilePosition(r.sizeOfCentralDirectory) ||
        !fitsFilePosition(r.offsetToStartOfCentralDirectory)) {
        return std::nullopt;
    }
    return r;
}

Bytes ZIP64EndOfCentralDirectoryRecord::serialize() const {
    ByteWriter out;
    out.u32(zip64EOCDRecordSignature)
        .u64(sizeOfZIP64EndOfCentralDirectoryRecord)
        .u16(versionMadeBy)
        .u16(versionNeededToExtract)
        .u32(numberOfDisk)
        .u32(numberOfDiskStart)
        .u64(totalNumberOfEntriesOnDisk)
        .u64(totalNumberOfEntriesInCentralDirectory)
        .u64(sizeOfCentralDirectory)
        .u64(offsetToStartOfCentralDirectory)
        .bytes(zip64ExtensibleDataSector);
    return std::move(out).take();
}

std::optional<ZIP64EndOfCentralDirectoryLocator> ZIP64EndOfCentralDirectoryLocator::parse(
    ByteView fixedPart, const TailBytesProvider&) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    ZIP64EndOfCentralDirectoryLocator r;
    r.zip64EOCDLocatorSignature = in.u32();
    r.numberOfDiskWithZIP64EOCDRecordStart = in.u32();
    r.relativeOffsetOfZIP64EOCDRecord = in.u64();
    r.totalNumberOfDisk = in.u32();
    if (!in.ok() || r.zip64EOCDLocatorSignature != signature) return std::nullopt;
    if (!fitsFilePosition(r.relativeOffsetOfZIP64EOCDRecord)) return std::nullopt;
    return r;
}

Bytes ZIP64EndOfCentralDirectoryLocator::serialize() const {
    ByteWriter out;
    out.u32(zip64EOCDLocatorSignature)
        .u32(numberOfDiskWithZIP64EOCDRecordStart)
        .u64(relativeOffsetOfZIP64EOCDRecord)
        .u32(totalNumberOfDisk);
    return std::move(out).take();
}

// ---- Reading a record at an offset ----

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

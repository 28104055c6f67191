#include "marrowzip/format/records.hpp"

#include <algorithm>

#include "marrowzip/format/byte_cursor.hpp"
#include "marrowzip/format/file_position.hpp"

namespace marrowzip {
namespace {

std::size_t widthOf(ZIP64Field field) {
    return field == ZIP64Field::diskNumberStart ? 4 : 8;
}

bool contains(std::span<const ZIP64Field> fields, ZIP64Field field) {
    return std::find(fields.begin(), fields.end(), field) != fields.end();
}

// Keeps the buffer's storage when it is large enough.
void assignBytes(Bytes& field, ByteView bytes) {
    field.assign(bytes.begin(), bytes.end());
}

// Asks the provider for exactly `length` bytes; anything else counts as a failure.
std::optional<ByteView> tailOfLength(const TailBytesProvider& tail, std::size_t length) {
    auto bytes = tail(length);
    if (!bytes || bytes->size() != length) return std::nullopt;
    return bytes;
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

// ---- Extra fields ----

std::optional<ExtraFieldBlock> ExtraFieldWalker::next() {
    if (field_.size() - position_ < 4) return std::nullopt;
    ByteReader header(field_.subspan(position_, 4));
    ExtraFieldBlock block;
    block.headerID = header.u16();
    const std::size_t size = header.u16();
    if (size > field_.size() - position_ - 4) return std::nullopt;
    block.offset = position_;
    block.data = field_.subspan(position_ + 4, size);
    position_ += 4 + size;
    return block;
}

std::optional<ZIP64ExtendedInformation> findZIP64Block(ByteView extraFieldData,
                                                       std::span<const ZIP64Field> fieldsNeeded) {
    ExtraFieldWalker blocks(extraFieldData);
    while (auto block = blocks.next()) {
        // A bare 4-byte header at the very end of the field is never taken for a block.
        if (extraFieldData.size() - block->offset <= 4) return std::nullopt;
        if (block->headerID == zip64HeaderID) {
            return ZIP64ExtendedInformation::parse(
                extraFieldData.subspan(block->offset, 4 + block->data.size()), fieldsNeeded);
        }
    }
    return std::nullopt;
}

std::optional<ByteView> extraFieldBlockData(ByteView extraFieldData, std::uint16_t headerID) {
    ExtraFieldWalker blocks(extraFieldData);
    while (auto block = blocks.next()) {
        if (block->headerID == headerID) return block->data;
    }
    return std::nullopt;
}

std::optional<ExtendedTimestamp> ExtendedTimestamp::parse(ByteView data) {
    if (data.empty()) return std::nullopt;
    ExtendedTimestamp timestamp;
    timestamp.flags = data[0];
    if ((timestamp.flags & modificationTimeFlag) != 0 && data.size() >= 5) {
        timestamp.modificationTime = ByteReader(data.subspan(1, 4)).u32();
    }
    return timestamp;
}

Bytes ExtendedTimestamp::serialize() const {
    ByteWriter out;
    out.u16(timestampHeaderID).u16(modificationTime ? 5 : 1).u8(flags);
    if (modificationTime) out.u32(*modificationTime);
    return std::move(out).take();
}

std::optional<NTFSTimes> NTFSTimes::parse(ByteView data) {
    if (data.size() < 4) return std::nullopt;
    // The attributes follow the reserved bytes in the same tag-size-data form as the blocks of
    // an extra field.
    ExtraFieldWalker attributes(data.subspan(4));
    while (auto attribute = attributes.next()) {
        if (attribute->headerID != timesTag) continue;
        if (attribute->data.size() != 24) return std::nullopt;
        ByteReader in(attribute->data);
        NTFSTimes times;
        times.modificationTime = in.u64();
        times.accessTime = in.u64();
        times.creationTime = in.u64();
        return times;
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
    std::optional<LocalFileHeader> header(std::in_place);
    if (!parse(fixedPart, tail, *header)) return std::nullopt;
    return header;
}

bool LocalFileHeader::parse(ByteView fixedPart, const TailBytesProvider& tail, LocalFileHeader& h) {
    if (fixedPart.size() != fixedSize) return false;
    ByteReader in(fixedPart);
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
    if (!in.ok() || h.localFileHeaderSignature != signature) return false;

    auto rest = tailOfLength(tail, std::size_t{h.fileNameLength} + h.extraFieldLength);
    if (!rest) return false;
    ByteReader variable(*rest);
    assignBytes(h.fileNameData, variable.view(h.fileNameLength));
    assignBytes(h.extraFieldData, variable.view(h.extraFieldLength));
    h.zip64Block = findZIP64Block(h.extraFieldData, fieldsNeeded(h));
    return true;
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
    std::optional<CentralDirectoryStructure> record(std::in_place);
    if (!parse(fixedPart, tail, *record)) return std::nullopt;
    return record;
}

bool CentralDirectoryStructure::parse(ByteView fixedPart, const TailBytesProvider& tail,
                                      CentralDirectoryStructure& r) {
    if (fixedPart.size() != fixedSize) return false;
    ByteReader in(fixedPart);
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
    if (!in.ok() || r.centralDirectorySignature != signature) return false;

    const std::size_t tailLength =
        std::size_t{r.fileNameLength} + r.extraFieldLength + r.fileCommentLength;
    auto rest = tailOfLength(tail, tailLength);
    if (!rest) return false;
    ByteReader variable(*rest);
    assignBytes(r.fileNameData, variable.view(r.fileNameLength));
    assignBytes(r.extraFieldData, variable.view(r.extraFieldLength));
    assignBytes(r.fileCommentData, variable.view(r.fileCommentLength));
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return true;
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

// ---- Data descriptor ----

template <typename SizeType>
std::optional<DataDescriptor<SizeType>> DataDescriptor<SizeType>::parse(ByteView fixedPart,
                                                                        const TailBytesProvider&) {
    if (fixedPart.size() != fixedSize) return std::nullopt;
    ByteReader in(fixedPart);
    // The signature is optional on disk: without it the fields start at once and the last four
    // bytes read belong to whatever follows.
    DataDescriptor descriptor;
    if (in.u32() != signature) {
        in = ByteReader(fixedPart);
        descriptor.dataDescriptorSignature = 0;
    }
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

template <typename SizeType>
Bytes DataDescriptor<SizeType>::serialize() const {
    // Always with its signature: a reader that finds the end of stored data by searching for
    // it needs one.
    ByteWriter out;
    out.u32(signature).u32(crc32);
    if constexpr (sizeof(SizeType) == 8) {
        out.u64(compressedSize).u64(uncompressedSize);
    } else {
        out.u32(compressedSize).u32(uncompressedSize);
    }
    return std::move(out).take();
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
    r.zipFileCommentData.assign(comment->begin(), comment->end());
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

}  // namespace marrowzip

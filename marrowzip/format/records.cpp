#include "marrowzip/format/records.hpp"

#include <algorithm>
#include <tuple>
#include <type_traits>

#include "marrowzip/format/byte_cursor.hpp"
#include "marrowzip/processing/file_position.hpp"

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

// The fixed fields of each record in their on-disk order and width: parse reads and serialize
// writes this one list, so that the two cannot drift apart. The signature comes first.
template <typename T, typename Record>
concept Of = std::same_as<std::remove_const_t<T>, Record>;

auto fixedFields(Of<LocalFileHeader> auto& h) {
    return std::tie(h.localFileHeaderSignature, h.versionNeededToExtract, h.generalPurposeBitFlag,
                    h.compressionMethod, h.lastModFileTime, h.lastModFileDate, h.crc32,
                    h.compressedSize, h.uncompressedSize, h.fileNameLength, h.extraFieldLength);
}

auto fixedFields(Of<CentralDirectoryStructure> auto& r) {
    return std::tie(r.centralDirectorySignature, r.versionMadeBy, r.versionNeededToExtract,
                    r.generalPurposeBitFlag, r.compressionMethod, r.lastModFileTime,
                    r.lastModFileDate, r.crc32, r.compressedSize, r.uncompressedSize,
                    r.fileNameLength, r.extraFieldLength, r.fileCommentLength, r.diskNumberStart,
                    r.internalFileAttributes, r.externalFileAttributes,
                    r.relativeOffsetOfLocalHeader);
}

auto fixedFields(Of<EndOfCentralDirectoryRecord> auto& r) {
    return std::tie(r.endOfCentralDirectorySignature, r.numberOfDisk, r.numberOfDiskStart,
                    r.totalNumberOfEntriesOnDisk, r.totalNumberOfEntriesInCentralDirectory,
                    r.sizeOfCentralDirectory, r.offsetToStartOfCentralDirectory,
                    r.zipFileCommentLength);
}

auto fixedFields(Of<ZIP64EndOfCentralDirectoryRecord> auto& r) {
    return std::tie(r.zip64EOCDRecordSignature, r.sizeOfZIP64EndOfCentralDirectoryRecord,
                    r.versionMadeBy, r.versionNeededToExtract, r.numberOfDisk, r.numberOfDiskStart,
                    r.totalNumberOfEntriesOnDisk, r.totalNumberOfEntriesInCentralDirectory,
                    r.sizeOfCentralDirectory, r.offsetToStartOfCentralDirectory);
}

auto fixedFields(Of<ZIP64EndOfCentralDirectoryLocator> auto& r) {
    return std::tie(r.zip64EOCDLocatorSignature, r.numberOfDiskWithZIP64EOCDRecordStart,
                    r.relativeOffsetOfZIP64EOCDRecord, r.totalNumberOfDisk);
}

// The record's fixed part read into `record`; false when its length or signature is wrong.
template <typename Record>
bool parseFixedPart(ByteView fixedPart, Record& record) {
    if (fixedPart.size() != Record::fixedSize) return false;
    ByteReader in(fixedPart);
    const auto fields = fixedFields(record);
    std::apply(
        [&in](auto&... field) {
            ((field = in.value<std::remove_reference_t<decltype(field)>>()), ...);
        },
        fields);
    return in.ok() && std::get<0>(fields) == Record::signature;
}

template <typename Record>
std::optional<Record> parseFixedPart(ByteView fixedPart) {
    std::optional<Record> record(std::in_place);
    if (!parseFixedPart(fixedPart, *record)) return std::nullopt;
    return record;
}

// The fixed part, then the variable tails in their order.
template <typename Record, typename... Tails>
Bytes serializeRecord(const Record& record, const Tails&... tails) {
    ByteWriter out;
    std::apply([&out](const auto&... field) { (out.value(field), ...); }, fixedFields(record));
    (out.bytes(tails), ...);
    return std::move(out).take();
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
    return static_cast<std::uint16_t>(serialize().size() - 4);
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

bool LocalFileHeader::parseFixedPart(ByteView fixedPart, LocalFileHeader& header) {
    return marrowzip::parseFixedPart(fixedPart, header);
}

bool LocalFileHeader::parse(ByteView fixedPart, const TailBytesProvider& tail, LocalFileHeader& h) {
    if (!parseFixedPart(fixedPart, h)) return false;
    auto rest = tailOfLength(tail, std::size_t{h.fileNameLength} + h.extraFieldLength);
    if (!rest) return false;
    ByteReader variable(*rest);
    assignBytes(h.fileNameData, variable.view(h.fileNameLength));
    assignBytes(h.extraFieldData, variable.view(h.extraFieldLength));
    h.zip64Block = findZIP64Block(h.extraFieldData, fieldsNeeded(h));
    return true;
}

Bytes LocalFileHeader::serialize() const {
    return serializeRecord(*this, fileNameData, extraFieldData);
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
    if (!parseFixedPart(fixedPart, r)) return false;
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
    return serializeRecord(*this, fileNameData, extraFieldData, fileCommentData);
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
    auto r = parseFixedPart<EndOfCentralDirectoryRecord>(fixedPart);
    if (!r) return std::nullopt;
    auto comment = tailOfLength(tail, r->zipFileCommentLength);
    if (!comment) return std::nullopt;
    r->zipFileCommentData.assign(comment->begin(), comment->end());
    return r;
}

Bytes EndOfCentralDirectoryRecord::serialize() const {
    return serializeRecord(*this, zipFileCommentData);
}

std::optional<ZIP64EndOfCentralDirectoryRecord> ZIP64EndOfCentralDirectoryRecord::parse(
    ByteView fixedPart, const TailBytesProvider&) {
    auto r = parseFixedPart<ZIP64EndOfCentralDirectoryRecord>(fixedPart);
    if (!r || r->versionNeededToExtract < 45 || !fitsFilePosition(r->sizeOfCentralDirectory) ||
        !fitsFilePosition(r->offsetToStartOfCentralDirectory)) {
        return std::nullopt;
    }
    return r;
}

Bytes ZIP64EndOfCentralDirectoryRecord::serialize() const {
    return serializeRecord(*this, zip64ExtensibleDataSector);
}

std::optional<ZIP64EndOfCentralDirectoryLocator> ZIP64EndOfCentralDirectoryLocator::parse(
    ByteView fixedPart, const TailBytesProvider&) {
    auto r = parseFixedPart<ZIP64EndOfCentralDirectoryLocator>(fixedPart);
    if (!r || !fitsFilePosition(r->relativeOffsetOfZIP64EOCDRecord)) return std::nullopt;
    return r;
}

Bytes ZIP64EndOfCentralDirectoryLocator::serialize() const {
    return serializeRecord(*this);
}

}  // namespace marrowzip

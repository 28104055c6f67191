// The builders of records for entries that are appended or moved: central records made from a
// fresh local header, ZIP64 blocks, and records rewritten for a new offset.
#include <algorithm>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/records.hpp"

namespace marrowzip {

// The blocks of an extra field other than the ZIP64 one, as they stand. A block that claims more
// bytes than remain ends the walk and is kept verbatim with everything after it.
Bytes extraFieldWithoutZIP64Blocks(ByteView extraField) {
    Bytes kept;
    ExtraFieldWalker blocks(extraField);
    while (auto block = blocks.next()) {
        if (block->headerID == zip64HeaderID) continue;
        appendBytes(kept, extraField.subspan(block->offset, 4 + block->data.size()));
    }
    appendBytes(kept, extraField.subspan(blocks.position()));
    return kept;
}

Bytes extraFieldOfNewHeader(const std::optional<ZIP64ExtendedInformation>& zip64,
                            const std::optional<ExtendedTimestamp>& timestamp) {
    Bytes extra;
    if (zip64) extra = zip64->serialize();
    if (timestamp) appendBytes(extra, timestamp->serialize());
    return extra;
}

std::optional<ZIP64ExtendedInformation> ZIP64ExtendedInformation::carrying(
    ZIP64ExtendedInformation values) {
    if (values.uncompressedSize == 0 && values.compressedSize == 0 &&
        values.relativeOffsetOfLocalHeader == 0 && values.diskNumberStart == 0) {
        return std::nullopt;
    }
    values.headerID = zip64HeaderID;
    values.dataSize = values.serializedDataSize();
    return values;
}

CentralDirectoryStructure CentralDirectoryStructure::fromLocalFileHeader(
    const LocalFileHeader& header, std::uint32_t externalFileAttributes,
    std::uint64_t relativeOffset, Bytes extraField) {
    CentralDirectoryStructure r;
    r.versionMadeBy = versionMadeByUnix;
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
    r.relativeOffsetOfLocalHeader =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(relativeOffset, sentinel32));
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return r;
}

void CentralDirectoryStructure::setSerializedOffset(Bytes& records, std::size_t recordStart,
                                                    std::uint32_t offset) {
    // The fixed part's last field: 4 bytes from byte 42, little-endian.
    constexpr std::size_t position = 42;
    for (std::size_t index = 0; index < 4; ++index) {
        records.at(recordStart + position + index) =
            static_cast<std::uint8_t>(offset >> (8 * index));
    }
}

CentralDirectoryStructure CentralDirectoryStructure::withNewOffset(
    const CentralDirectoryStructure& record, std::uint64_t newOffset) {
    CentralDirectoryStructure r = record;
    const bool offsetInBlock = newOffset >= sentinel32;
    if (!offsetInBlock && record.relativeOffsetOfLocalHeader != sentinel32) {
        r.relativeOffsetOfLocalHeader = static_cast<std::uint32_t>(newOffset);
        return r;
    }

    // The block is only found again when the header's sentinels call for exactly the values the
    // serializer writes, so the 32-bit fields are brought in line with the block. The serializer
    // writes both sizes or neither: a size that the record kept in its 32-bit field moves into
    // the block, and a sentinel whose block value is 0 (forced-ZIP64 writers do that for empty
    // files) becomes a plain 0.
    const ZIP64ExtendedInformation old = record.zip64Block.value_or(ZIP64ExtendedInformation{});
    const auto effective = [&](std::uint32_t field, std::uint64_t blockValue) -> std::uint64_t {
        return field == sentinel32 && record.zip64Block ? blockValue : field;
    };
    const std::uint64_t uncompressed = effective(record.uncompressedSize, old.uncompressedSize);
    const std::uint64_t compressed = effective(record.compressedSize, old.compressedSize);
    ZIP64ExtendedInformation values = old;
    values.relativeOffsetOfLocalHeader = offsetInBlock ? newOffset : 0;
    if (values.uncompressedSize != 0 || values.compressedSize != 0 || uncompressed >= sentinel32 ||
        compressed >= sentinel32) {
        values.uncompressedSize = uncompressed;
        values.compressedSize = compressed;
    }
    const std::optional<ZIP64ExtendedInformation> block =
        ZIP64ExtendedInformation::carrying(values);

    r.relativeOffsetOfLocalHeader =
        offsetInBlock ? sentinel32 : static_cast<std::uint32_t>(newOffset);
    const bool sizesInBlock = block && (block->uncompressedSize != 0 || block->compressedSize != 0);
    r.uncompressedSize = sizesInBlock ? sentinel32 : static_cast<std::uint32_t>(uncompressed);
    r.compressedSize = sizesInBlock ? sentinel32 : static_cast<std::uint32_t>(compressed);
    if (block && block->diskNumberStart != 0) {
        r.diskNumberStart = sentinel16;
    } else if (record.zip64Block && r.diskNumberStart == sentinel16) {
        r.diskNumberStart = 0;
    }
    // Other blocks (names in Unicode, timestamps) stay, in their order, behind the ZIP64 block.
    r.extraFieldData = block ? block->serialize() : Bytes{};
    appendBytes(r.extraFieldData, extraFieldWithoutZIP64Blocks(record.extraFieldData));
    if (r.extraFieldData.size() > 0xFFFF) throw Error(ArchiveError::invalidCentralDirectorySize);
    r.extraFieldLength = static_cast<std::uint16_t>(r.extraFieldData.size());
    // The version is raised for the block, never lowered: an entry may need a later version
    // for other reasons (its method, say).
    if (block)
        r.versionNeededToExtract = std::max(record.versionNeededToExtract, versionNeededZIP64);
    r.zip64Block = findZIP64Block(r.extraFieldData, fieldsNeeded(r));
    return r;
}

}  // namespace marrowzip

// The builders of records for entries that are appended or moved: central records made from a
// fresh local header, and records (with their ZIP64 blocks) rewritten for a new offset.
#include <algorithm>

#include "marrowzip/format/records.hpp"

namespace marrowzip {
namespace {

constexpr std::uint32_t sentinel32 = 0xFFFFFFFF;
constexpr std::uint16_t sentinel16 = 0xFFFF;

}  // namespace

// The blocks of an extra field other than the ZIP64 one, as they stand. A block that claims more
// bytes than remain ends the walk and is kept verbatim with everything after it.
Bytes extraFieldWithoutZIP64Blocks(ByteView extraField) {
    Bytes kept;
    ExtraFieldWalker blocks(extraField);
    while (auto block = blocks.next()) {
        if (block->headerID == ZIP64ExtendedInformation::zip64HeaderID) continue;
        const auto whole = extraField.subspan(block->offset, 4 + block->data.size());
        kept.insert(kept.end(), whole.begin(), whole.end());
    }
    const auto rest = extraField.subspan(blocks.position());
    kept.insert(kept.end(), rest.begin(), rest.end());
    return kept;
}

Bytes extraFieldOfNewHeader(std::optional<ZIP64ExtendedInformation> zip64,
                            const std::optional<ExtendedTimestamp>& timestamp) {
    Bytes extra;
    if (zip64) {
        zip64->headerID = ZIP64ExtendedInformation::zip64HeaderID;
        zip64->dataSize = zip64->serializedDataSize();
        extra = zip64->serialize();
    }
    if (timestamp) {
        const Bytes block = timestamp->serialize();
        extra.insert(extra.end(), block.begin(), block.end());
    }
    return extra;
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

}  // namespace marrowzip

// The byte layouts of the ZIP records: one struct per record, fields in on-disk order and width,
// parsing that never throws (a wrong size, signature or tail makes the record absent) and
// serialization that is its mirror image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "marrowzip/common/types.hpp"
#include "marrowzip/format/format.hpp"

namespace marrowzip {

class PositionalWindow;

// Delivers the variable tail of a record (names, extra fields, comments): called at most once,
// with the tail's total length; absent when the bytes cannot be had. The bytes stay valid until
// the parse returns: the record copies what it keeps.
using TailBytesProvider = std::function<std::optional<ByteView>(std::size_t length)>;

// The ZIP64 extended information extra field (header ID 0x0001). Only the values that the
// header's 0xFFFFFFFF (or 0xFFFF) sentinels call for are present on disk, in Field order.
struct ZIP64ExtendedInformation {
    enum class Field {
        uncompressedSize,
        compressedSize,
        relativeOffsetOfLocalHeader,
        diskNumberStart
    };

    std::uint16_t headerID = zip64HeaderID;
    std::uint16_t dataSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t relativeOffsetOfLocalHeader = 0;
    std::uint32_t diskNumberStart = 0;

    // `block` is the whole block, header included; it must hold exactly the fields asked for.
    static std::optional<ZIP64ExtendedInformation> parse(ByteView block,
                                                         std::span<const Field> fields);
    // Both sizes when either is non-zero, then the offset and the disk number when non-zero.
    Bytes serialize() const;
    // The number of bytes serialize() writes after the 4-byte header.
    std::uint16_t serializedDataSize() const;

    // The block of a header the engine writes, carrying the values of `values` (its header ID
    // and data size are set here); absent when every value is 0 and the block would carry
    // nothing. Every writer of a header builds its block here.
    static std::optional<ZIP64ExtendedInformation> carrying(ZIP64ExtendedInformation values);

    friend bool operator==(const ZIP64ExtendedInformation&,
                           const ZIP64ExtendedInformation&) = default;
};

using ZIP64Field = ZIP64ExtendedInformation::Field;

// The extended timestamp extra field (header ID 0x5455, "UT"): a flags byte, then one 32-bit
// count of seconds since 1970-01-01T00:00:00Z for each time the flags announce (bit 0 the
// modification, bit 1 the access, bit 2 the creation time), in that order. A central header's
// block carries the modification time alone, whatever its flags say; both forms begin alike.
struct ExtendedTimestamp {
    static constexpr std::uint8_t modificationTimeFlag = 0x01;

    std::uint8_t flags = 0;
    // As stored: writers mean it as signed, some past 2038 as unsigned (Entry decides).
    std::optional<std::uint32_t> modificationTime;

    // `data` is the block after its 4-byte header. Absent without the flags byte; a time that
    // the flags announce but the block is too short for is left absent.
    static std::optional<ExtendedTimestamp> parse(ByteView data);
    // The whole block: header, flags as stored, then the modification time when present.
    Bytes serialize() const;

    friend bool operator==(const ExtendedTimestamp&, const ExtendedTimestamp&) = default;
};

// The NTFS extra field (header ID 0x000A): four reserved bytes, then attributes, each a 16-bit
// tag, a 16-bit size and that many bytes. Tag 1 (24 bytes) holds the modification, access and
// creation times as FILETIMEs: 100-nanosecond intervals since 1601-01-01T00:00:00Z.
struct NTFSTimes {
    static constexpr std::uint16_t timesTag = 1;

    std::uint64_t modificationTime = 0;
    std::uint64_t accessTime = 0;
    std::uint64_t creationTime = 0;

    // `data` is the block after its 4-byte header. Absent without a well-formed tag 1.
    static std::optional<NTFSTimes> parse(ByteView data);

    friend bool operator==(const NTFSTimes&, const NTFSTimes&) = default;
};

// One block of an extra field: its header ID, the bytes after its 4-byte header, and where the
// block (header included) begins in the field.
struct ExtraFieldBlock {
    std::uint16_t headerID = 0;
    ByteView data;
    std::size_t offset = 0;
};

// Walks an extra field block by block. The walk ends where fewer than four bytes remain and at
// a block that claims more bytes than remain; position() is then where the unwalked rest begins.
class ExtraFieldWalker {
public:
    explicit ExtraFieldWalker(ByteView extraField) : field_(extraField) {}
    std::optional<ExtraFieldBlock> next();
    std::size_t position() const noexcept { return position_; }

private:
    ByteView field_;
    std::size_t position_ = 0;
};

// Searches the extra field block by block for the ZIP64 block and parses it.
std::optional<ZIP64ExtendedInformation> findZIP64Block(ByteView extraFieldData,
                                                       std::span<const ZIP64Field> fieldsNeeded);

// The data of the first well-formed extra-field block with `headerID` (after its 4-byte header);
// absent when there is none or a block before it claims more bytes than remain.
std::optional<ByteView> extraFieldBlockData(ByteView extraFieldData, std::uint16_t headerID);
// The blocks of an extra field other than the ZIP64 one, in their order.
Bytes extraFieldWithoutZIP64Blocks(ByteView extraField);
// The extra field of a header the engine writes: the ZIP64 block (made by carrying()), then the
// timestamp, each when given.
Bytes extraFieldOfNewHeader(const std::optional<ZIP64ExtendedInformation>& zip64,
                            const std::optional<ExtendedTimestamp>& timestamp);

struct LocalFileHeader {
    static constexpr std::uint32_t signature = 0x04034b50;
    static constexpr std::size_t fixedSize = 30;  // + fileNameLength + extraFieldLength

    std::uint32_t localFileHeaderSignature = signature;
    std::uint16_t versionNeededToExtract = 0;
    std::uint16_t generalPurposeBitFlag = 0;
    std::uint16_t compressionMethod = 0;
    std::uint16_t lastModFileTime = 0;
    std::uint16_t lastModFileDate = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t fileNameLength = 0;
    std::uint16_t extraFieldLength = 0;
    Bytes fileNameData;
    Bytes extraFieldData;

    // The parsed ZIP64 block, when the extra field holds a valid one.
    std::optional<ZIP64ExtendedInformation> zip64Block;

    static std::optional<LocalFileHeader> parse(ByteView fixedPart, const TailBytesProvider& tail);
    // The same into `header`, whose buffers are reused: a pass that keeps no header allocates
    // nothing for each one. False where parse() gives none; `header` is then unspecified.
    static bool parse(ByteView fixedPart, const TailBytesProvider& tail, LocalFileHeader& header);
    // The fixed part alone into `header`, whose name and extra field stay as they were: enough
    // to place the record. False when its length or signature is wrong.
    static bool parseFixedPart(ByteView fixedPart, LocalFileHeader& header);
    Bytes serialize() const;
    // The header's length on disk, by its length fields.
    std::uint64_t length() const noexcept {
        return fixedSize + std::uint64_t{fileNameLength} + extraFieldLength;
    }

    friend bool operator==(const LocalFileHeader&, const LocalFileHeader&) = default;
};

struct CentralDirectoryStructure {
    static constexpr std::uint32_t signature = 0x02014b50;
    static constexpr std::size_t fixedSize = 46;  // + name + extra field + comment

    std::uint32_t centralDirectorySignature = signature;
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeededToExtract = 0;
    std::uint16_t generalPurposeBitFlag = 0;
    std::uint16_t compressionMethod = 0;
    std::uint16_t lastModFileTime = 0;
    std::uint16_t lastModFileDate = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t fileNameLength = 0;
    std::uint16_t extraFieldLength = 0;
    std::uint16_t fileCommentLength = 0;
    std::uint16_t diskNumberStart = 0;
    std::uint16_t internalFileAttributes = 0;
    std::uint32_t externalFileAttributes = 0;
    std::uint32_t relativeOffsetOfLocalHeader = 0;
    Bytes fileNameData;
    Bytes extraFieldData;
    Bytes fileCommentData;

    std::optional<ZIP64ExtendedInformation> zip64Block;

    static std::optional<CentralDirectoryStructure> parse(ByteView fixedPart,
                                                          const TailBytesProvider& tail);
    // The same into `record`, whose buffers are reused, as LocalFileHeader's.
    static bool parse(ByteView fixedPart, const TailBytesProvider& tail,
                      CentralDirectoryStructure& record);
    Bytes serialize() const;
    // The record's length on disk, by its length fields.
    std::uint64_t length() const noexcept {
        return fixedSize + std::uint64_t{fileNameLength} + extraFieldLength + fileCommentLength;
    }

    // The central record of a freshly written local header (version made by 789: Unix, 2.1).
    // An offset of 4 GiB or more is left to `extraField`'s ZIP64 block; its field holds the
    // sentinel.
    static CentralDirectoryStructure fromLocalFileHeader(const LocalFileHeader& header,
                                                         std::uint32_t externalFileAttributes,
                                                         std::uint64_t relativeOffset,
                                                         Bytes extraField);
    // The same record for an entry whose local header moved to `newOffset`: the one relocation
    // of a moved entry. A record whose offset neither enters nor leaves the ZIP64 block keeps
    // its bytes but for the offset; otherwise its block is rebuilt so that it parses again with
    // the same sizes. Throws when the rebuilt extra field outgrows its 16-bit length.
    static CentralDirectoryStructure withNewOffset(const CentralDirectoryStructure& record,
                                                   std::uint64_t newOffset);
    // Sets the offset of a serialized record made with offset 0 before its place was known; the
    // offset lies below the ZIP64 sentinel, so that the record's length stays.
    // `recordStart`: where the record begins among several serialized one behind the other.
    static void setSerializedOffset(Bytes& records, std::size_t recordStart, std::uint32_t offset);
    static void setSerializedOffset(Bytes& record, std::uint32_t offset) {
        setSerializedOffset(record, 0, offset);
    }

    friend bool operator==(const CentralDirectoryStructure&,
                           const CentralDirectoryStructure&) = default;
};

// Which ZIP64 values a header's sentinels call for, in Field order.
std::vector<ZIP64Field> fieldsNeeded(const LocalFileHeader& header);
std::vector<ZIP64Field> fieldsNeeded(const CentralDirectoryStructure& header);

// A data descriptor with 32-bit (W = 4) or 64-bit (W = 8) sizes. Read only; the engine never
// writes one. Its signature is optional on disk.
template <typename SizeType>
struct DataDescriptor {
    static constexpr std::uint32_t signature = 0x08074b50;
    static constexpr std::size_t fixedSize = 8 + 2 * sizeof(SizeType);

    Bytes data;
    // 0 when the descriptor was written without its signature, so that its length on disk
    // (fixedSize, or 4 bytes less) is known.
    std::uint32_t dataDescriptorSignature = signature;
    std::uint32_t crc32 = 0;
    SizeType compressedSize = 0;
    SizeType uncompressedSize = 0;

    static std::optional<DataDescriptor> parse(ByteView fixedPart, const TailBytesProvider& tail);
    Bytes serialize() const;  // fixedSize bytes, signature first
    std::size_t lengthOnDisk() const noexcept {
        return dataDescriptorSignature == signature ? fixedSize : fixedSize - 4;
    }

    friend bool operator==(const DataDescriptor&, const DataDescriptor&) = default;
};

using DataDescriptor32 = DataDescriptor<std::uint32_t>;
using DataDescriptor64 = DataDescriptor<std::uint64_t>;

struct EndOfCentralDirectoryRecord {
    static constexpr std::uint32_t signature = 0x06054b50;
    static constexpr std::size_t fixedSize = 22;  // + zipFileCommentLength bytes of comment

    std::uint32_t endOfCentralDirectorySignature = signature;
    std::uint16_t numberOfDisk = 0;
    std::uint16_t numberOfDiskStart = 0;
    std::uint16_t totalNumberOfEntriesOnDisk = 0;
    std::uint16_t totalNumberOfEntriesInCentralDirectory = 0;
    std::uint32_t sizeOfCentralDirectory = 0;
    std::uint32_t offsetToStartOfCentralDirectory = 0;
    std::uint16_t zipFileCommentLength = 0;
    Bytes zipFileCommentData;

    static std::optional<EndOfCentralDirectoryRecord> parse(ByteView fixedPart,
                                                            const TailBytesProvider& tail);
    Bytes serialize() const;

    friend bool operator==(const EndOfCentralDirectoryRecord&,
                           const EndOfCentralDirectoryRecord&) = default;
};

struct ZIP64EndOfCentralDirectoryRecord {
    static constexpr std::uint32_t signature = 0x06064b50;
    static constexpr std::size_t fixedSize = 56;  // + zip64ExtensibleDataSector (never read)

    std::uint32_t zip64EOCDRecordSignature = signature;
    std::uint64_t sizeOfZIP64EndOfCentralDirectoryRecord = 44;
    std::uint16_t versionMadeBy = versionMadeByUnix;
    std::uint16_t versionNeededToExtract = versionNeededZIP64;
    std::uint32_t numberOfDisk = 0;
    std::uint32_t numberOfDiskStart = 0;
    std::uint64_t totalNumberOfEntriesOnDisk = 0;
    std::uint64_t totalNumberOfEntriesInCentralDirectory = 0;
    std::uint64_t sizeOfCentralDirectory = 0;
    std::uint64_t offsetToStartOfCentralDirectory = 0;
    Bytes zip64ExtensibleDataSector;

    static std::optional<ZIP64EndOfCentralDirectoryRecord> parse(ByteView fixedPart,
                                                                 const TailBytesProvider& tail);
    Bytes serialize() const;

    friend bool operator==(const ZIP64EndOfCentralDirectoryRecord&,
                           const ZIP64EndOfCentralDirectoryRecord&) = default;
};

struct ZIP64EndOfCentralDirectoryLocator {
    static constexpr std::uint32_t signature = 0x07064b50;
    static constexpr std::size_t fixedSize = 20;

    std::uint32_t zip64EOCDLocatorSignature = signature;
    std::uint32_t numberOfDiskWithZIP64EOCDRecordStart = 0;
    std::uint64_t relativeOffsetOfZIP64EOCDRecord = 0;
    std::uint32_t totalNumberOfDisk = 1;

    static std::optional<ZIP64EndOfCentralDirectoryLocator> parse(ByteView fixedPart,
                                                                  const TailBytesProvider& tail);
    Bytes serialize() const;

    friend bool operator==(const ZIP64EndOfCentralDirectoryLocator&,
                           const ZIP64EndOfCentralDirectoryLocator&) = default;
};

struct ZIP64EndOfCentralDirectory {
    ZIP64EndOfCentralDirectoryRecord record;
    ZIP64EndOfCentralDirectoryLocator locator;

    friend bool operator==(const ZIP64EndOfCentralDirectory&,
                           const ZIP64EndOfCentralDirectory&) = default;
};

// Reads one record at `offset` of the stream: the fixed part, then its tail from where the fixed
// part ended. A read error, a short read, an offset beyond the signed file position or a failed
// parse all make the record absent.
template <typename Record>
std::optional<Record> readRecord(std::FILE* stream, std::uint64_t offset);

// The same through a window that serves neighbouring records without a read each.
template <typename Record>
std::optional<Record> readRecord(PositionalWindow& window, std::uint64_t offset);
// The same into `record`, reusing its buffers (local headers and central records); false where
// the other form gives none, `record` then unspecified.
template <typename Record>
bool readRecord(PositionalWindow& window, std::uint64_t offset, Record& record);

}  // namespace marrowzip

#include "marrowzip/format/entry.hpp"

#include "marrowzip/common/saturating.hpp"
#include "marrowzip/format/byte_cursor.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/dos_date.hpp"

namespace marrowzip {
namespace {

// A 32-bit field of the central record, answered by its ZIP64 block. The block only parses when
// it carries exactly the values the header's sentinels call for, so a sentinel with a block
// means the block holds the value, 0 included: forced-ZIP64 writers store 0xFFFFFFFF with a
// ZIP64 value of 0 for empty files, and taking the sentinel at its word would make them 4 GiB
// long.
std::uint64_t zip64Value(const CentralDirectoryStructure& record,
                         std::uint32_t CentralDirectoryStructure::*field,
                         std::uint64_t ZIP64ExtendedInformation::*member) {
    if (record.*field == sentinel32 && record.zip64Block) return (*record.zip64Block).*member;
    return record.*field;
}

std::optional<std::string> unicodePathField(const CentralDirectoryStructure& record) {
    auto data = extraFieldBlockData(record.extraFieldData, unicodePathHeaderID);
    if (!data || data->size() < 5 || (*data)[0] != 1) return std::nullopt;
    const std::uint32_t nameCRC = ByteReader(data->subspan(1, 4)).u32();
    // A tool that renamed the entry without updating this field leaves a stale CRC behind.
    if (nameCRC != updateCRC32(record.fileNameData, 0)) return std::nullopt;
    return decodeUTF8(data->subspan(5));
}

// The exact modification time that an extra field carries: NTFS's (to 100 ns) before the
// extended timestamp's (to the second).
std::optional<Timestamp> exactModificationTime(ByteView extraField, std::uint16_t dosDate) {
    if (auto data = extraFieldBlockData(extraField, ntfsHeaderID)) {
        if (auto times = NTFSTimes::parse(*data)) {
            if (auto time = timestampFromFILETIME(times->modificationTime)) return time;
        }
    }
    if (auto data = extraFieldBlockData(extraField, timestampHeaderID)) {
        if (auto timestamp = ExtendedTimestamp::parse(*data);
            timestamp && timestamp->modificationTime) {
            return timestampFromUnixTime32(*timestamp->modificationTime, dosDate);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string Entry::path() const {
    std::string path;
    decodePath(path);
    return path;
}

void Entry::decodePath(std::string& path) const {
    const auto& record = centralDirectoryStructure;
    if (record.generalPurposeBitFlag & utf8NameFlag) {
        if (!decodeUTF8(record.fileNameData, path)) path.clear();
        return;
    }
    if (auto unicode = unicodePathField(record)) {
        path = std::move(*unicode);
        return;
    }
    // Unix tools store names in the system's character set, UTF-8 nowadays, without setting
    // bit 11; code page 437 would turn such names into box-drawing characters.
    const auto host = hostSystem();
    if ((host == HostSystem::unix || host == HostSystem::osX) &&
        decodeUTF8(record.fileNameData, path)) {
        return;
    }
    path = decodeCP437(record.fileNameData);
}

std::string Entry::pathUsingEncoding(std::string_view encodingName) const {
    return decodeWithEncoding(centralDirectoryStructure.fileNameData, encodingName)
        .value_or(std::string());
}

std::optional<HostSystem> Entry::hostSystem() const {
    const auto host = static_cast<HostSystem>(centralDirectoryStructure.versionMadeBy >> 8);
    if (host == HostSystem::msDOS || host == HostSystem::unix || host == HostSystem::osX ||
        host == HostSystem::code20) {
        return host;
    }
    return std::nullopt;
}

EntryType Entry::type() const {
    const std::uint32_t attributes = centralDirectoryStructure.externalFileAttributes;
    // The raw name is tested for the slash: it is ASCII in every encoding a name can have, and a
    // name that fails to decode still tells a folder from a file.
    const Bytes& name = centralDirectoryStructure.fileNameData;
    const EntryType byName =
        !name.empty() && name.back() == '/' ? EntryType::directory : EntryType::file;
    const auto host = hostSystem();
    if (host == HostSystem::unix || host == HostSystem::osX) {
        switch ((attributes >> 16) & 0xF000) {
            case 0x8000:
                return EntryType::file;
            case 0x4000:
                return EntryType::directory;
            case 0xA000:
                return EntryType::symlink;
            default:
                return byName;
        }
    }
    // The DOS directory attribute, alone or with read-only, hidden, system or volume.
    if (host == HostSystem::msDOS && (attributes & ~std::uint32_t{0xF}) == 0x10)
        return EntryType::directory;
    return byName;
}

bool Entry::isZIP64() const {
    return (centralDirectoryStructure.versionNeededToExtract & 0xFF) >= 45 ||
           centralDirectoryStructure.zip64Block.has_value();
}

std::uint64_t Entry::localHeaderOffset() const {
    return zip64Value(centralDirectoryStructure,
                      &CentralDirectoryStructure::relativeOffsetOfLocalHeader,
                      &ZIP64ExtendedInformation::relativeOffsetOfLocalHeader);
}

std::uint32_t Entry::checksum() const {
    const auto& record = centralDirectoryStructure;
    if (record.generalPurposeBitFlag & dataDescriptorFlag) {
        if (zip64DataDescriptor) return zip64DataDescriptor->crc32;
        if (dataDescriptor) return dataDescriptor->crc32;
    }
    // The central record carries the CRC-32 even when the local header deferred it to a
    // descriptor, so an unreadable descriptor still leaves the right value.
    return record.crc32;
}

std::uint64_t Entry::centralCompressedSize() const {
    return zip64Value(centralDirectoryStructure, &CentralDirectoryStructure::compressedSize,
                      &ZIP64ExtendedInformation::compressedSize);
}

std::uint64_t Entry::centralUncompressedSize() const {
    return zip64Value(centralDirectoryStructure, &CentralDirectoryStructure::uncompressedSize,
                      &ZIP64ExtendedInformation::uncompressedSize);
}

// Only the descriptor of the entry's own width counts. Without a ZIP64 block the central
// sizes are the 32-bit fields themselves.
std::uint64_t Entry::compressedSize() const {
    if (isZIP64() && zip64DataDescriptor) return zip64DataDescriptor->compressedSize;
    if (!isZIP64() && dataDescriptor) return dataDescriptor->compressedSize;
    return centralCompressedSize();
}

std::uint64_t Entry::uncompressedSize() const {
    if (isZIP64() && zip64DataDescriptor) return zip64DataDescriptor->uncompressedSize;
    if (!isZIP64() && dataDescriptor) return dataDescriptor->uncompressedSize;
    return centralUncompressedSize();
}

bool Entry::isCompressed() const {
    return localFileHeader.compressionMethod != 0;
}

Timestamp Entry::modificationTime() const {
    const auto& record = centralDirectoryStructure;
    for (const Bytes* extraField : {&record.extraFieldData, &localFileHeader.extraFieldData}) {
        if (auto time = exactModificationTime(*extraField, record.lastModFileDate)) return *time;
    }
    return timestampOf(
        dateFromDOS({.date = record.lastModFileDate, .time = record.lastModFileTime}));
}

// A descriptor written without its signature is four bytes shorter; counting those bytes anyway
// would make a copy of the local part carry the next record's first bytes along. The data is
// counted with the central record's sizes, the ones extraction reads by and the descriptor is
// found by: a descriptor claiming fewer bytes must not shrink the range that is checked for
// overlaps while the whole of it is read.
std::uint64_t Entry::localRecordLength() const {
    const std::uint64_t data = isCompressed() ? centralCompressedSize() : centralUncompressedSize();
    std::uint64_t descriptor = 0;
    if (isZIP64() && zip64DataDescriptor) descriptor = zip64DataDescriptor->lengthOnDisk();
    if (!isZIP64() && dataDescriptor) descriptor = dataDescriptor->lengthOnDisk();
    return saturatingAdd(saturatingAdd(localFileHeader.length(), data), descriptor);
}

std::uint64_t Entry::dataStart() const {
    return saturatingAdd(localHeaderOffset(), localFileHeader.length());
}

bool operator==(const Entry& a, const Entry& b) {
    return a.localFileHeader.crc32 == b.localFileHeader.crc32 &&
           a.localHeaderOffset() == b.localHeaderOffset() && canonicallyEqual(a.path(), b.path());
}

std::uint16_t permissionsOfEntry(std::uint32_t externalFileAttributes,
                                 std::optional<HostSystem> hostSystem, EntryType type) {
    const bool unixHost = hostSystem == HostSystem::unix || hostSystem == HostSystem::osX;
    const std::uint32_t permissions = unixHost ? (externalFileAttributes >> 16) & 07777 : 0;
    if (permissions != 0) return static_cast<std::uint16_t>(permissions);
    return type == EntryType::directory ? defaultDirectoryMode : defaultFileMode;
}

std::uint16_t Entry::permissions() const {
    return permissionsOfEntry(centralDirectoryStructure.externalFileAttributes, hostSystem(),
                              type());
}

std::optional<CompressionMethod> Entry::compressionMethod() const {
    return compressionMethodFromRaw(localFileHeader.compressionMethod);
}

std::int64_t Entry::progressUnits() const {
    return type() == EntryType::directory ? 1 : unitsOfSize(uncompressedSize());
}

}  // namespace marrowzip

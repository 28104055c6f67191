// One member of an archive as the central directory describes it, with its local header and
// data descriptor, and the values derived from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/records.hpp"

namespace marrowzip {

enum class EntryType { file, directory, symlink };

// The system that made an entry: the high byte of the central record's versionMadeBy.
// Compilers in their GNU modes predefine the macro `unix`; it must not rename the enumerator.
#pragma push_macro("unix")
#undef unix
enum class HostSystem : std::uint8_t { msDOS = 0, unix = 3, osX = 19, code20 = 20 };
#pragma pop_macro("unix")

class Entry {
public:
    using LocalFileHeader = marrowzip::LocalFileHeader;
    using CentralDirectoryStructure = marrowzip::CentralDirectoryStructure;
    using DataDescriptor32 = marrowzip::DataDescriptor32;
    using DataDescriptor64 = marrowzip::DataDescriptor64;
    using ZIP64ExtendedInformation = marrowzip::ZIP64ExtendedInformation;
    using EntryType = marrowzip::EntryType;
    using EntryError = marrowzip::EntryError;

    CentralDirectoryStructure centralDirectoryStructure;
    LocalFileHeader localFileHeader;
    std::optional<DataDescriptor32> dataDescriptor;
    std::optional<DataDescriptor64> zip64DataDescriptor;

    // The name decoded by the entry's own rule: UTF-8 when flag bit 11 is set; else the Unicode
    // Path extra field (0x7075) when its CRC-32 matches the name; else UTF-8 when a Unix host
    // wrote valid UTF-8; else code page 437. Empty when the bytes do not decode.
    std::string path() const;
    // The same into `path`, reusing its storage.
    void decodePath(std::string& path) const;
    // The name decoded with an ICU converter name; empty when it does not decode.
    std::string pathUsingEncoding(std::string_view encodingName) const;

    std::optional<HostSystem> hostSystem() const;
    EntryType type() const;
    bool isZIP64() const;
    std::uint64_t localHeaderOffset() const;
    std::uint32_t checksum() const;
    // Sizes with the data descriptor taken into account.
    std::uint64_t compressedSize() const;
    std::uint64_t uncompressedSize() const;
    // Sizes from the central record and its ZIP64 block alone, as extraction uses them.
    std::uint64_t centralCompressedSize() const;
    std::uint64_t centralUncompressedSize() const;
    bool isCompressed() const;
    // The modification time: that of an NTFS (0x000A) or extended timestamp (0x5455) extra block
    // of the central header, else of the local header, else the DOS date and time read as UTC.
    // Damaged blocks and times beyond the representable range are passed over.
    Timestamp modificationTime() const;
    // The permission bits stored by a Unix or macOS host (the defaults when there are none);
    // absent: the method field names no method this engine has.
    std::uint16_t permissions() const;
    std::optional<CompressionMethod> compressionMethod() const;
    std::uint64_t localRecordLength() const;
    std::uint64_t dataStart() const;
    // The units of progress that extracting the entry reports: 1 for a folder, else its size
    // (saturated: the size comes from the archive).
    std::int64_t progressUnits() const;

    // Same path (canonically equivalent), same local CRC-32, same local header offset.
    friend bool operator==(const Entry& a, const Entry& b);
};

// The permissions of an entry from its external attributes: the mode bits of a Unix or macOS
// host, else (or when they are all zero) defaultFileMode or defaultDirectoryMode.
std::uint16_t permissionsOfEntry(std::uint32_t externalFileAttributes,
                                 std::optional<HostSystem> hostSystem, EntryType type);

}  // namespace marrowzip

// Archives written byte by byte, for the extraction tests: names with any bytes, links, deflated
// data, and records that lie (a wrong CRC-32, a declared size smaller than the data).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/types.hpp"

namespace marrowzip::testing {

struct RawEntry {
    std::string name;  // raw bytes, NUL included
    Bytes content;     // the entry's bytes
    bool deflated = false;
    std::uint32_t mode = 0100644;                   // Unix mode with the type bits
    std::optional<std::uint32_t> crc;               // default: CRC-32 of the content
    std::optional<std::uint32_t> uncompressedSize;  // default: the content's size
    std::uint16_t flags = 0x0800;
    // Sizes and CRC-32 left 0 in the local header and given in a data descriptor (flag bit 3).
    bool deferredSizes = false;
    // The sizes the data descriptor claims (both), when they are to differ from the true ones.
    std::optional<std::uint32_t> descriptorSize;
    std::optional<std::uint16_t> method;  // default: 8 when deflated, else 0
    std::uint16_t dosDate = 0x5821;       // 2024-01-01
    std::uint16_t dosTime = 0x6000;       // 12:00:00
    // The central record points here and the entry gets no local record of its own: entries
    // that share (or overlap) the local data of others.
    std::optional<std::uint32_t> localHeaderOffset;
};

RawEntry rawFile(std::string name, const std::string& content, bool deflated = false);
RawEntry rawFolder(std::string name);
RawEntry rawLink(std::string name, const std::string& target, bool deflated = false);

// The archive; `claimedCount` overrides the entry count of the end record.
Bytes buildRawArchive(const std::vector<RawEntry>& entries,
                      std::optional<std::uint16_t> claimedCount = std::nullopt);

}  // namespace marrowzip::testing

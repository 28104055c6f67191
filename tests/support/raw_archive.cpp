#include "support/raw_archive.hpp"

#include <zlib.h>

#include "marrowzip/format/byte_cursor.hpp"
#include "support/test_support.hpp"

namespace marrowzip::testing {
namespace {

std::uint16_t methodOf(const RawEntry& entry) {
    return entry.method.value_or(entry.deflated ? 8 : 0);
}

void writeLocalRecord(ByteWriter& out, const RawEntry& entry, ByteView name, const Bytes& data,
                      std::uint32_t crc, std::uint32_t size) {
    const std::uint16_t flags = entry.flags | (entry.deferredSizes ? 0x0008 : 0);
    const auto compressed = static_cast<std::uint32_t>(data.size());
    out.u32(0x04034b50).u16(20).u16(flags).u16(methodOf(entry));
    out.u16(entry.dosTime).u16(entry.dosDate);
    if (entry.deferredSizes) {
        out.u32(0).u32(0).u32(0);
    } else {
        out.u32(crc).u32(compressed).u32(size);
    }
    out.u16(static_cast<std::uint16_t>(name.size())).u16(0).bytes(name).bytes(data);
    if (entry.deferredSizes) {
        out.u32(0x08074b50).u32(crc).u32(entry.descriptorSize.value_or(compressed));
        out.u32(entry.descriptorSize.value_or(size));
    }
}

}  // namespace

RawEntry rawFile(std::string name, const std::string& content, bool deflated) {
    RawEntry entry;
    entry.name = std::move(name);
    entry.content = Bytes(content.begin(), content.end());
    entry.deflated = deflated;
    return entry;
}

RawEntry rawFolder(std::string name) {
    RawEntry entry;
    entry.name = std::move(name);
    entry.mode = 040755;
    return entry;
}

RawEntry rawLink(std::string name, const std::string& target, bool deflated) {
    RawEntry entry = rawFile(std::move(name), target, deflated);
    entry.mode = 0120777;
    return entry;
}

Bytes buildRawArchive(const std::vector<RawEntry>& entries,
                      std::optional<std::uint16_t> claimedCount) {
    ByteWriter out;
    ByteWriter central;
    for (const RawEntry& entry : entries) {
        const Bytes data = entry.deflated ? rawDeflate(entry.content, 9) : entry.content;
        const auto crc = entry.crc.value_or(static_cast<std::uint32_t>(
            crc32(0, entry.content.data(), static_cast<uInt>(entry.content.size()))));
        const auto size =
            entry.uncompressedSize.value_or(static_cast<std::uint32_t>(entry.content.size()));
        const auto compressed = static_cast<std::uint32_t>(data.size());
        const std::uint16_t flags = entry.flags | (entry.deferredSizes ? 0x0008 : 0);
        const std::uint16_t method = methodOf(entry);
        const auto offset =
            entry.localHeaderOffset.value_or(static_cast<std::uint32_t>(out.bytes().size()));
        const ByteView name(reinterpret_cast<const std::uint8_t*>(entry.name.data()),
                            entry.name.size());

        if (!entry.localHeaderOffset) writeLocalRecord(out, entry, name, data, crc, size);
        central.u32(0x02014b50).u16(0x031E).u16(20).u16(flags).u16(method);
        central.u16(entry.dosTime).u16(entry.dosDate).u32(crc).u32(compressed).u32(size);
        central.u16(static_cast<std::uint16_t>(name.size())).u16(0).u16(0).u16(0).u16(0);
        central.u32(entry.mode << 16).u32(offset).bytes(name);
    }
    const auto centralOffset = static_cast<std::uint32_t>(out.bytes().size());
    const auto centralSize = static_cast<std::uint32_t>(central.bytes().size());
    const auto count = claimedCount.value_or(static_cast<std::uint16_t>(entries.size()));
    out.bytes(central.bytes());
    out.u32(0x06054b50)
        .u16(0)
        .u16(0)
        .u16(count)
        .u16(count)
        .u32(centralSize)
        .u32(centralOffset)
        .u16(0);
    return std::move(out).take();
}

}  // namespace marrowzip::testing

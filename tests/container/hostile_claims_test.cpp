// Archives whose records claim sizes, counts and lengths far beyond their own bytes: opening,
// listing and reading every entry stay within the archive's size plus a few MiB of memory, and
// stop where the bytes stop.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/format/byte_cursor.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

constexpr std::uint32_t sentinel32 = 0xFFFFFFFF;

// An extra field of exactly `length` bytes: one block of an unknown kind.
Bytes unknownExtraField(std::size_t length) {
    Bytes field = ByteWriter().u16(0x6666).u16(static_cast<std::uint16_t>(length - 4)).bytes();
    field.resize(length, 'e');
    return field;
}

// `size` stands for both the compressed and the uncompressed size.
void local(ByteWriter& out, const Bytes& name, std::uint32_t size, const Bytes& extra = {}) {
    out.u32(0x04034b50).u16(20).u16(0x0800).u16(0).u16(0).u16(0x5821).u32(0).u32(size).u32(size);
    out.u16(static_cast<std::uint16_t>(name.size())).u16(static_cast<std::uint16_t>(extra.size()));
    out.bytes(name).bytes(extra);
}

void central(ByteWriter& out, const Bytes& name, std::uint32_t offset, std::uint32_t size,
             const Bytes& extra = {}, const Bytes& comment = {}) {
    out.u32(0x02014b50).u16(0x031E).u16(45).u16(0x0800).u16(0).u16(0).u16(0x5821).u32(0);
    out.u32(size).u32(size);
    out.u16(static_cast<std::uint16_t>(name.size())).u16(static_cast<std::uint16_t>(extra.size()));
    out.u16(static_cast<std::uint16_t>(comment.size())).u16(0).u16(0).u32(0100644U << 16);
    out.u32(offset).bytes(name).bytes(extra).bytes(comment);
}

// The archive: what `out` holds, then the end record.
Bytes end(ByteWriter out, std::uint16_t count, std::uint64_t size, std::uint64_t offset) {
    out.u32(0x06054b50).u16(0).u16(0).u16(count).u16(count);
    out.u32(static_cast<std::uint32_t>(size)).u32(static_cast<std::uint32_t>(offset)).u16(0);
    return std::move(out).take();
}

Bytes zip64End(ByteWriter out, std::uint64_t count, std::uint64_t size, std::uint64_t offset) {
    const std::uint64_t at = out.bytes().size();
    out.u32(0x06064b50).u64(44).u16(45).u16(45).u32(0).u32(0).u64(count).u64(count);
    out.u64(size).u64(offset);
    out.u32(0x07064b50).u32(0).u64(at).u32(1);
    return end(std::move(out), 0xFFFF, sentinel32, sentinel32);
}

// One entry "a" with both sizes `size`, and its central record from offset 31 on.
ByteWriter oneEntry(std::uint32_t size = 0, const Bytes& extra = {}) {
    ByteWriter out;
    local(out, testing::bytesOf("a"), size, extra);
    central(out, testing::bytesOf("a"), 0, size, extra);
    return out;
}

// Eight entries whose names, extra fields and comments all take 65535 bytes.
Bytes longestFields() {
    ByteWriter out;
    const Bytes name(0xFFFF, 'n');
    const Bytes extra = unknownExtraField(0xFFFF);
    for (int i = 0; i < 8; ++i)
        local(out, name, 0, extra);
    const std::uint64_t start = out.bytes().size();
    for (std::uint32_t i = 0; i < 8; ++i)
        central(out, name, i * (30 + 2 * 0xFFFF), 0, extra, Bytes(0xFFFF, 'c'));
    const std::uint64_t size = out.bytes().size() - start;
    return end(std::move(out), 8, size, start);
}

// `count` central records that all point at one local header carrying 65535 bytes of name and
// 65535 of extra field, under a ZIP64 count.
Bytes sharedHeader(std::size_t count) {
    ByteWriter out;
    local(out, Bytes(0xFFFF, 'n'), 0, unknownExtraField(0xFFFF));
    const std::uint64_t start = out.bytes().size();
    for (std::size_t i = 0; i < count; ++i)
        central(out, testing::bytesOf("x"), 0, 0);
    const std::uint64_t size = out.bytes().size() - start;
    return zip64End(std::move(out), count, size, start);
}

struct Outcome {
    std::uint64_t listed = 0;
    bool endedEarly = false;
    std::uint64_t readable = 0;  // entries whose data reads back without an error
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome openListAndRead(const Bytes& data) {
    Archive archive = Archive::openMemory(data, Archive::AccessMode::read);
    Outcome outcome;
    EntryIterator entries = archive.makeEntryIterator();
    while (auto entry = entries.next()) {
        ++outcome.listed;
        try {
            archive.extractEntry(*entry, [](ByteView) {});
            ++outcome.readable;
        } catch (const Error&) {
        }
    }
    outcome.endedEarly = entries.endedEarly();
    return outcome;
}

// Runs `body` in a child process whose address space may grow by `budget` bytes beyond what it
// maps already: an allocation sized by a record's claim fails there. The sanitizers reserve
// terabytes of shadow memory, so their builds skip the check.
bool staysWithin(std::uint64_t budget, const std::function<void()>& body) {
    return testing::sanitized ||
           testing::exitStatusInChild([&] {
               std::uint64_t pages = 0;
               std::ifstream("/proc/self/statm") >> pages;
               const rlim_t limit =
                   pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + budget;
               const rlimit space{limit, limit};
               if (::setrlimit(RLIMIT_AS, &space) != 0) return 3;
               try {
                   body();
               } catch (const Error&) {
               }
               return 0;  // std::bad_alloc, beyond the budget, gives 255
           }) == 0;
}

TEST(HostileClaims, CostNoMoreMemoryThanTheArchiveHolds) {
    const Bytes sizes62 = ByteWriter().u16(1).u16(16).u64(1ULL << 62).u64(1ULL << 62).bytes();
    // {title, archive, outcome}; without an outcome the archive does not open. The listing of
    // 2000 records ends once the local headers read add up to more than lies before the central
    // directory (plus 1 MiB): after 8 of the 131100-byte header.
    const std::tuple<std::string, Bytes, std::optional<Outcome>> cases[] = {
        {"a central directory size of 4 GiB", end(oneEntry(), 1, sentinel32, 31),
         Outcome{1, false, 1}},
        {"65535-byte names, extra fields and comments", longestFields(), Outcome{8, false, 8}},
        {"2^64 - 1 entries", zip64End(oneEntry(), UINT64_MAX, 47, 31), Outcome{1, true, 1}},
        {"a ZIP64 block claiming 2^62 bytes", end(oneEntry(sentinel32, sizes62), 1, 67, 51),
         Outcome{1, false, 0}},
        {"one 128 KiB local header under 2000 central records", sharedHeader(2000),
         Outcome{8, true, 8}},
        {"1 MiB that is not a ZIP file", Bytes(1 << 20, 'P'), std::nullopt},
    };
    for (const auto& [title, archive, outcome] : cases) {
        SCOPED_TRACE(title);
        try {
            EXPECT_EQ(openListAndRead(archive), outcome);
        } catch (const Error& error) {
            EXPECT_FALSE(outcome) << error.what();
            EXPECT_EQ(error.code(), ArchiveError::missingEndOfCentralDirectoryRecord);
        }
        EXPECT_TRUE(staysWithin(archive.size() * 2 + (8 << 20), [&] { openListAndRead(archive); }));
    }
}

}  // namespace
}  // namespace marrowzip

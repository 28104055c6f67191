// Archives whose records claim sizes, counts and lengths far beyond their own bytes: opening,
// listing and reading every entry stay within the archive's size plus a few MiB of memory, and
// stop where the bytes stop.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <limits>

#include "marrowzip/container/archive.hpp"
#include "marrowzip/container/byte_cursor.hpp"
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

void end(ByteWriter& out, std::uint16_t count, std::uint32_t size, std::uint32_t offset) {
    out.u32(0x06054b50).u16(0).u16(0).u16(count).u16(count).u32(size).u32(offset).u16(0);
}

void zip64End(ByteWriter& out, std::uint64_t count, std::uint64_t size, std::uint64_t offset) {
    const std::uint64_t at = out.bytes().size();
    out.u32(0x06064b50).u64(44).u16(45).u16(45).u32(0).u32(0).u64(count).u64(count);
    out.u64(size).u64(offset);
    out.u32(0x07064b50).u32(0).u64(at).u32(1);
    end(out, 0xFFFF, sentinel32, sentinel32);
}

// `count` central records that all point at one local header carrying 65535 bytes of name and
// 65535 of extra field, under a ZIP64 count.
Bytes sharedHeader(std::size_t count) {
    ByteWriter out;
    local(out, Bytes(0xFFFF, 'n'), 0, unknownExtraField(0xFFFF));
    const std::uint64_t start = out.bytes().size();
    for (std::size_t i = 0; i < count; ++i)
        central(out, testing::bytesOf("x"), 0, 0);
    zip64End(out, count, out.bytes().size() - start, start);
    return std::move(out).take();
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool sanitized = false;
#endif

// Runs `body` in a child process whose address space may grow by `budget` bytes beyond what it
// maps already: an allocation sized by a record's claim fails there. The sanitizers reserve
// terabytes of shadow memory, so their builds skip the check.
bool staysWithin(std::uint64_t budget, const std::function<void()>& body) {
    if (sanitized) return true;
    const pid_t child = ::fork();
    if (child == 0) {
        std::uint64_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + budget;
        const rlimit space{limit, limit};
        if (::setrlimit(RLIMIT_AS, &space) != 0) ::_exit(3);
        try {
            body();
        } catch (const Error&) {
        } catch (...) {
            ::_exit(2);  // std::bad_alloc: more memory than the budget
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HostileClaims, CostNoMoreMemoryThanTheArchiveHolds) {
    const Bytes name = testing::bytesOf("a");
    // {title, archive, outcome}; without an outcome the archive does not open.
    std::vector<std::tuple<std::string, Bytes, std::optional<Outcome>>> cases;
    {
        ByteWriter out;
        local(out, name, 0);
        central(out, name, 0, 0);
        end(out, 1, sentinel32, 31);
        cases.push_back(
            {"a central directory size of 4 GiB", std::move(out).take(), Outcome{1, false, 1}});
    }
    {
        ByteWriter out;
        const Bytes longName(0xFFFF, 'n');
        const Bytes extra = unknownExtraField(0xFFFF);
        for (int i = 0; i < 8; ++i)
            local(out, longName, 0, extra);
        const std::uint64_t start = out.bytes().size();
        for (std::uint32_t i = 0; i < 8; ++i) {
            central(out, longName, i * (30 + 2 * 0xFFFF), 0, extra, Bytes(0xFFFF, 'c'));
        }
        end(out, 8, static_cast<std::uint32_t>(out.bytes().size() - start),
            static_cast<std::uint32_t>(start));
        cases.push_back({"65535-byte names, extra fields and comments", std::move(out).take(),
                         Outcome{8, false, 8}});
    }
    {
        ByteWriter out;
        local(out, name, 0);
        central(out, name, 0, 0);
        zip64End(out, std::numeric_limits<std::uint64_t>::max(), 47, 31);
        cases.push_back({"2^64 - 1 entries", std::move(out).take(), Outcome{1, true, 1}});
    }
    {
        ByteWriter out;
        const Bytes block = ByteWriter().u16(1).u16(16).u64(1ULL << 62).u64(1ULL << 62).bytes();
        local(out, name, sentinel32, block);
        central(out, name, 0, sentinel32, block);
        end(out, 1, 67, 51);
        cases.push_back(
            {"a ZIP64 block claiming 2^62 bytes", std::move(out).take(), Outcome{1, false, 0}});
    }
    // The pass ends once the local headers read add up to more than lies before the central
    // directory (plus 1 MiB): 8 of the 131100-byte header, not 2000.
    cases.push_back({"one 128 KiB local header under 2000 central records", sharedHeader(2000),
                     Outcome{8, true, 8}});
    cases.push_back({"1 MiB that is not a ZIP file", Bytes(1 << 20, 'P'), std::nullopt});

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

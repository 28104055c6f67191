#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <stdexcept>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

enum class Failure { cancelled, providerThrows, shortChunk, longChunk };

struct Fixture {
    TemporaryDirectory folder;
    std::filesystem::path path = folder / "a.zip";
    Archive archive;
    explicit Fixture(bool inMemory)
        : archive(inMemory ? Archive::openMemory({}, Archive::AccessMode::create)
                           : Archive::openFile(FileURL::fromPath(path.string()),
                                               Archive::AccessMode::create)) {
        appendBytes(archive, "one", textBytes(30000), CompressionMethod::deflate);
        appendBytes(archive, "two", randomBytes(9000));
    }
    Bytes bytes() { return archive.data() ? *archive.data() : readFileBytes(path); }
};

TEST(FailedAppends, LeaveTheArchiveAsItWasAndUsable) {
    const std::pair<Failure, std::error_code> cases[] = {
        {Failure::cancelled, ArchiveError::cancelledOperation},
        {Failure::providerThrows, {}},  // the provider's own exception comes through
        {Failure::shortChunk, ArchiveError::invalidEntrySize},
        {Failure::longChunk, ArchiveError::invalidEntrySize},
    };
    const Bytes data = randomBytes(5 * 4096);
    for (bool inMemory : {false, true}) {
        for (auto method : {CompressionMethod::none, CompressionMethod::deflate}) {
            for (const auto& [failure, expected] : cases) {
                SCOPED_TRACE(::testing::Message()
                             << inMemory << static_cast<int>(method) << static_cast<int>(failure));
                Fixture fixture(inMemory);
                Archive& archive = fixture.archive;
                const Bytes before = fixture.bytes();
                const auto endRecordBefore = archive.endOfCentralDirectoryRecord();
                Progress progress;
                int calls = 0;
                auto provider = [&](std::int64_t position, std::int64_t size) {
                    Bytes chunk(data.begin() + position, data.begin() + position + size);
                    if (++calls != 2) return chunk;
                    if (failure == Failure::providerThrows) throw std::runtime_error("gone");
                    if (failure == Failure::cancelled) progress.cancel();
                    if (failure == Failure::shortChunk) chunk.pop_back();
                    if (failure == Failure::longChunk) chunk.push_back(0);
                    return chunk;
                };
                try {
                    archive.appendEntry("three", EntryType::file, std::ssize(data), sampleDate,
                                        std::nullopt, method, 4096, &progress, provider);
                    ADD_FAILURE() << "the append succeeded";
                } catch (const Error& error) {
                    EXPECT_EQ(error.code(), expected) << error.what();
                } catch (const std::runtime_error&) {
                    EXPECT_FALSE(expected);
                }
                EXPECT_EQ(fixture.bytes(), before);
                EXPECT_EQ(archive.endOfCentralDirectoryRecord(), endRecordBefore);

                appendBytes(archive, "after", data, method);
                EXPECT_EQ(entryBytes(archive, *archive.findEntry("after")), data);
                EXPECT_EQ(inMemory ? "" : clientComplaints(fixture.path), "");
            }
        }
    }
}

TEST(FailedAppends, AFullDiskLeavesTheArchiveAsItWas) {
    Fixture fixture(false);
    const Bytes before = fixture.bytes();
    // A file-size limit fails writes beyond it with EFBIG, as a full disk fails them.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit limited{before.size() + 100000, saved.rlim_max};
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::error_code code;
    try {
        appendBytes(fixture.archive, "big", randomBytes(1 << 20));
    } catch (const Error& error) {
        code = error.code();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    EXPECT_EQ(code, DataError::unwritableFile);
    EXPECT_EQ(fixture.bytes(), before);
}

TEST(FailedAppends, RefuseASourceFileWhoseSizeChangesWhileItIsRead) {
    Fixture fixture(false);
    const Bytes before = fixture.bytes();
    // /dev/zero reports 0 bytes and delivers more (a file that grew); a sysfs attribute reports
    // 4096 bytes and delivers a few (a file that shrank).
    for (const std::string source : {"/dev/zero", "/sys/kernel/uevent_seqnum"}) {
        for (auto method : {CompressionMethod::none, CompressionMethod::deflate}) {
            if (!std::filesystem::exists(source)) continue;
            try {
                fixture.archive.appendEntry("changing", FileURL::fromPath(source), method);
                ADD_FAILURE() << source << " was accepted";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), ArchiveError::invalidEntrySize) << error.what();
                EXPECT_EQ(error.path(), source);
            }
            EXPECT_EQ(fixture.bytes(), before);
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

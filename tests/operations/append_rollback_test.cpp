#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <stdexcept>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

enum class Failure { cancelled, providerThrows, shortChunk, longChunk };

Bytes currentBytes(Archive& archive, const std::filesystem::path& path) {
    if (auto data = archive.data()) return *data;
    return readFileBytes(path);
}

TEST(FailedAppends, LeaveTheArchiveAsItWasAndUsable) {
    const struct {
        Failure failure;
        std::error_code expected;  // none: the provider's own exception
    } cases[] = {
        {Failure::cancelled, ArchiveError::cancelledOperation},
        {Failure::providerThrows, {}},
        {Failure::shortChunk, ArchiveError::invalidEntrySize},
        {Failure::longChunk, ArchiveError::invalidEntrySize},
    };
    const Bytes data = randomBytes(5 * 4096);
    for (bool inMemory : {false, true}) {
        for (auto method : {CompressionMethod::none, CompressionMethod::deflate}) {
            for (const auto& c : cases) {
                SCOPED_TRACE(::testing::Message()
                             << "memory " << inMemory << ", method " << static_cast<int>(method)
                             << ", case " << static_cast<int>(c.failure));
                TemporaryDirectory folder;
                const auto path = folder / "a.zip";
                Archive archive = inMemory ? Archive::openMemory({}, Archive::AccessMode::create)
                                           : Archive::openFile(FileURL::fromPath(path.string()),
                                                               Archive::AccessMode::create);
                appendBytes(archive, "one", textBytes(30000), CompressionMethod::deflate);
                appendBytes(archive, "two", randomBytes(9000));
                const Bytes before = currentBytes(archive, path);
                const auto endRecordBefore = archive.endOfCentralDirectoryRecord();

                Progress progress;
                int calls = 0;
                auto provider = [&](std::int64_t position, std::int64_t size) {
                    Bytes chunk(data.begin() + position, data.begin() + position + size);
                    if (++calls == 2) {
                        switch (c.failure) {
                            case Failure::cancelled:
                                progress.cancel();
                                break;
                            case Failure::providerThrows:
                                throw std::runtime_error("source gone");
                            case Failure::shortChunk:
                                chunk.pop_back();
                                break;
                            case Failure::longChunk:
                                chunk.push_back(0);
                                break;
                        }
                    }
                    return chunk;
                };
                try {
                    archive.appendEntry("three", EntryType::file,
                                        static_cast<std::int64_t>(data.size()), sampleDate,
                                        std::nullopt, method, 4096, &progress, provider);
                    ADD_FAILURE() << "the append succeeded";
                } catch (const Error& error) {
                    EXPECT_EQ(error.code(), c.expected) << error.what();
                } catch (const std::runtime_error&) {
                    EXPECT_FALSE(c.expected);
                }
                EXPECT_EQ(currentBytes(archive, path), before);
                EXPECT_EQ(archive.endOfCentralDirectoryRecord(), endRecordBefore);

                appendBytes(archive, "after", data, method);
                EXPECT_EQ(archive.totalNumberOfEntries(), 3u);
                EXPECT_EQ(entryBytes(archive, *archive.findEntry("after")), data);
                if (!inMemory) {
                    EXPECT_EQ(clientComplaints(path), "");
                }
            }
        }
    }
}

TEST(FailedAppends, AFullDiskLeavesTheArchiveAsItWas) {
    TemporaryDirectory folder;
    const auto path = folder / "a.zip";
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    appendBytes(archive, "one", textBytes(5000));
    const Bytes before = readFileBytes(path);

    // A file-size limit fails writes beyond it with EFBIG, as a full disk fails them.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = before.size() + 100000;
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::error_code code;
    try {
        appendBytes(archive, "big", randomBytes(1 << 20));
    } catch (const Error& error) {
        code = error.code();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_EQ(code, DataError::unwritableFile);
    EXPECT_EQ(readFileBytes(path), before);
}

TEST(FailedAppends, RefuseASourceFileWhoseSizeChangesWhileItIsRead) {
    // /dev/zero reports 0 bytes and delivers more (a file that grew); a sysfs attribute reports
    // 4096 bytes and delivers a few (a file that shrank).
    const std::vector<std::string> sources = {"/dev/zero", "/sys/kernel/uevent_seqnum"};
    TemporaryDirectory folder;
    const auto path = folder / "a.zip";
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    appendBytes(archive, "one", textBytes(5000));
    const Bytes before = readFileBytes(path);
    for (const auto& source : sources) {
        if (!std::filesystem::exists(source)) continue;
        for (auto method : {CompressionMethod::none, CompressionMethod::deflate}) {
            try {
                archive.appendEntry("changing", FileURL::fromPath(source), method);
                ADD_FAILURE() << source << " was accepted";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), ArchiveError::invalidEntrySize) << error.what();
                EXPECT_EQ(error.path(), source);
            }
            EXPECT_EQ(readFileBytes(path), before);
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

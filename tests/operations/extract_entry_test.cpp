#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::RawEntry;
using testing::rawFile;
using testing::rawFolder;
using testing::rawLink;

std::uint32_t crcOf(const Bytes& bytes) {
    return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// One archive file per test, its entries in order.
struct Fixture {
    testing::TemporaryDirectory folder;
    std::optional<Archive> archive;
    std::vector<Entry> entries;

    explicit Fixture(const std::vector<RawEntry>& raw) {
        testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(raw));
        archive = Archive::openFile(FileURL::fromPath((folder / "a.zip").string()),
                                    Archive::AccessMode::read);
        for (const Entry& entry : *archive)
            entries.push_back(entry);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
};

struct Delivery {
    std::vector<std::size_t> chunks;
    Bytes bytes;
    std::uint32_t checksum = 0;
};

Delivery deliver(Archive& archive, const Entry& entry, std::int64_t bufferSize = defaultChunkSize,
                 bool skipChecksum = false, Progress* progress = nullptr) {
    Delivery out;
    out.checksum = archive.extractEntry(
        entry,
        [&](ByteView chunk) {
            out.chunks.push_back(chunk.size());
            out.bytes.insert(out.bytes.end(), chunk.begin(), chunk.end());
        },
        bufferSize, skipChecksum, progress);
    return out;
}

TEST(ExtractingToAConsumer, DeliversTheDataInChunksOfTheBufferSize) {
    const Bytes text = testing::textBytes(40000);
    const std::string content(text.begin(), text.end());
    struct Case {
        RawEntry entry;
        std::vector<std::size_t> chunks;
    } cases[] = {
        {rawFile("empty", ""), {0}},
        {rawFile("one-chunk", content.substr(0, 16384)), {16384}},
        {rawFile("one-chunk-and-one", content.substr(0, 16385)), {16384, 1}},
        {rawFile("deflated", content, true), {}},
    };
    for (auto& [entry, chunks] : cases) {
        SCOPED_TRACE(entry.name);
        Fixture fixture({entry});
        const Delivery plain = deliver(*fixture.archive, fixture.entries[0]);
        EXPECT_EQ(plain.bytes, entry.content);
        EXPECT_EQ(plain.checksum, crcOf(entry.content));
        if (!chunks.empty()) {
            EXPECT_EQ(plain.chunks, chunks);
        }
        for (std::size_t size : plain.chunks)
            EXPECT_LE(size, 16384U);
        EXPECT_EQ(deliver(*fixture.archive, fixture.entries[0], 16384, true).checksum, 0U);
    }
}

TEST(ExtractingToAConsumer, RefusesDataThatDisagreesWithTheDeclaredSize) {
    const Bytes big = testing::textBytes(100000);
    RawEntry inflatesBeyond = rawFile("beyond", std::string(big.begin(), big.end()), true);
    inflatesBeyond.uncompressedSize = 1000;
    RawEntry inflatesShort = rawFile("short", "only a few bytes", true);
    inflatesShort.uncompressedSize = 2000;
    RawEntry storedTruncated = rawFile("truncated", "abc");
    storedTruncated.uncompressedSize = 100000;  // runs into the central directory and beyond
    RawEntry unknownMethod = rawFile("method12", "abc");
    unknownMethod.method = 12;
    const std::pair<RawEntry, std::error_code> cases[] = {
        {inflatesBeyond, CompressionError::corruptedData},
        {inflatesShort, CompressionError::corruptedData},
        {storedTruncated, DataError::unreadableFile},
        {unknownMethod, ArchiveError::invalidCompressionMethod},
    };
    for (const auto& [entry, expected] : cases) {
        SCOPED_TRACE(entry.name);
        Fixture fixture({entry});
        std::size_t delivered = 0;
        try {
            fixture.archive->extractEntry(fixture.entries[0],
                                          [&](ByteView chunk) { delivered += chunk.size(); });
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), expected);
            EXPECT_EQ(error.path(), fixture.path("a.zip"));
            EXPECT_EQ(error.entry(), entry.name);
        }
        EXPECT_LE(delivered, entry.uncompressedSize.value_or(0));
    }
}

TEST(ExtractingToAConsumer, CancellationStopsAFileBeforeItsFirstChunkButNotAFolderOrLink) {
    Fixture fixture({rawFile("f", "data"), rawFolder("d/"), rawLink("l", "f")});
    for (const Entry& entry : fixture.entries) {
        Progress progress;
        progress.cancel();
        if (entry.type() == EntryType::file) {
            bool called = false;
            try {
                fixture.archive->extractEntry(
                    entry, [&](ByteView) { called = true; }, 16384, false, &progress);
                ADD_FAILURE() << "not cancelled";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), ArchiveError::cancelledOperation);
            }
            EXPECT_FALSE(called);
        } else {
            deliver(*fixture.archive, entry, 16384, false, &progress);
            EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
        }
    }
}

TEST(ExtractingToAConsumer, ReadsALinkTargetLikeFileData) {
    RawEntry deferred = rawLink("deferred", "../lib64/libz.so.1", true);
    deferred.deferredSizes = true;  // the local header says 0 bytes
    Fixture fixture({rawLink("stored", "../lib64/libz.so.1"),
                     rawLink("deflated", "../lib64/libz.so.1", true), deferred});
    const Bytes target = testing::bytesOf("../lib64/libz.so.1");
    for (const Entry& entry : fixture.entries) {
        SCOPED_TRACE(entry.path());
        const Delivery delivery = deliver(*fixture.archive, entry, 16384, true);
        EXPECT_EQ(delivery.bytes, target);
        EXPECT_EQ(delivery.checksum, crcOf(target));  // computed even with skipChecksum
    }
}

TEST(ExtractingAnItem, NeverWritesThroughAnythingAlreadyThere) {
    Fixture fixture({rawFile("f", "new"), rawLink("l", "f"), rawFolder("d/")});
    const std::string existing = fixture.path("existing");
    testing::writeFileText(existing, "old");
    ASSERT_EQ(::symlink(fixture.path("dangling-target").c_str(), fixture.path("dangling").c_str()),
              0);
    for (const Entry& entry : {fixture.entries[0], fixture.entries[1]}) {
        for (const std::string& destination : {existing, fixture.path("dangling")}) {
            try {
                fixture.archive->extractEntry(entry, FileURL::fromPath(destination));
                ADD_FAILURE() << "overwrote " << destination;
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), FileError::fileWriteFileExists);
                EXPECT_EQ(error.path(), destination);
                EXPECT_EQ(error.entry(), entry.path());
            }
        }
    }
    EXPECT_EQ(testing::readFileBytes(existing), testing::bytesOf("old"));
    EXPECT_FALSE(std::filesystem::exists(fixture.path("dangling-target")));
    // A folder over an existing folder is fine; over a link to a folder it is not.
    std::filesystem::create_directory(fixture.path("dir"));
    std::filesystem::create_directory_symlink("dir", fixture.path("dirlink"));
    EXPECT_NO_THROW(
        fixture.archive->extractEntry(fixture.entries[2], FileURL::fromPath(fixture.path("dir"))));
    EXPECT_THROW(fixture.archive->extractEntry(fixture.entries[2],
                                               FileURL::fromPath(fixture.path("dirlink"))),
                 Error);
}

TEST(ExtractingAnItem, JudgesALinkTargetAgainstTheLinksOwnFolder) {
    struct Case {
        std::string target;
        bool allowOutside;
        std::optional<std::error_code> error;
    } cases[] = {
        {"sub/x", false, std::nullopt},
        {"a//b", false, std::nullopt},
        {"../x", false, ArchiveError::uncontainedSymlink},
        {"../x", true, std::nullopt},
        {"/etc/passwd", false, ArchiveError::uncontainedSymlink},
        {std::string("x\0/../../etc", 12), true, ArchiveError::invalidEntryPath},
        {std::string(5000, 'a'), true, ArchiveError::invalidEntryPath},
    };
    int index = 0;
    for (const auto& [target, allowOutside, error] : cases) {
        SCOPED_TRACE(target.substr(0, 20));
        Fixture fixture({rawLink("l", target)});
        const std::string link = fixture.path("d/l" + std::to_string(index++));
        try {
            fixture.archive->extractEntry(fixture.entries[0], FileURL::fromPath(link), 16384, false,
                                          allowOutside);
            EXPECT_FALSE(error);
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), target);  // text as stored
        } catch (const Error& thrown) {
            EXPECT_EQ(thrown.code(), error.value_or(std::error_code()));
            EXPECT_FALSE(std::filesystem::is_symlink(link));
        }
    }
}

}  // namespace
}  // namespace marrowzip

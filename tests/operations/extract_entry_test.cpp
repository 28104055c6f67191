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
using testing::rawLink;

// One archive file holding `raw`, opened for reading, with its entries.
struct Fixture {
    testing::TemporaryDirectory folder;
    std::optional<Archive> archive;
    std::vector<Entry> entries;

    explicit Fixture(const std::vector<RawEntry>& raw) {
        testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(raw));
        archive = Archive::openFile(FileURL::fromPath(path("a.zip")), Archive::AccessMode::read);
        for (const Entry& entry : *archive)
            entries.push_back(entry);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
};

TEST(ExtractingToAConsumer, DeliversExactlyTheEntrysBytesInBufferSizedChunks) {
    const Bytes text = testing::textBytes(40000);
    const std::string content(text.begin(), text.end());
    RawEntry deferredLink = rawLink("deferred-link", "../lib64/libz.so.1", true);
    deferredLink.deferredSizes = true;  // the local header says 0 bytes
    const std::pair<RawEntry, std::vector<std::size_t>> cases[] = {
        {rawFile("empty", ""), {0}},
        {rawFile("one-chunk-and-one", content.substr(0, 16385)), {16384, 1}},
        {rawFile("deflated", content, true), {16384, 16384, 7232}},
        {rawLink("deflated-link", "../lib64/libz.so.1", true), {18}},
        {deferredLink, {18}},
    };
    for (const auto& [raw, chunks] : cases) {
        SCOPED_TRACE(raw.name);
        Fixture fixture({raw});
        for (const bool skipChecksum : {false, true}) {
            std::vector<std::size_t> sizes;
            Bytes bytes;
            const std::uint32_t checksum = fixture.archive->extractEntry(
                fixture.entries[0],
                [&](ByteView chunk) {
                    sizes.push_back(chunk.size());
                    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
                },
                16384, skipChecksum);
            EXPECT_EQ(sizes, chunks);
            EXPECT_EQ(bytes, raw.content);
            // A link's checksum is computed whatever skipChecksum says.
            const bool computed = !skipChecksum || raw.mode == 0120777;
            EXPECT_EQ(checksum, computed ? crc32(0, bytes.data(), bytes.size()) : 0);
        }
    }
}

TEST(ExtractingToAConsumer, RefusesDataThatDisagreesWithItsRecords) {
    const Bytes big = testing::textBytes(100000);
    RawEntry inflatesBeyond = rawFile("beyond", std::string(big.begin(), big.end()), true);
    inflatesBeyond.uncompressedSize = 1000;
    RawEntry inflatesShort = rawFile("short", "only a few bytes", true);
    inflatesShort.uncompressedSize = 2000;
    RawEntry storedTruncated = rawFile("truncated", "abc");
    storedTruncated.uncompressedSize = 100000;
    RawEntry unknownMethod = rawFile("method12", "abc");
    unknownMethod.method = 12;
    RawEntry cancelled = rawFile("cancelled", "abc");
    const std::pair<RawEntry, std::error_code> cases[] = {
        {inflatesBeyond, CompressionError::corruptedData},
        {inflatesShort, CompressionError::corruptedData},
        {storedTruncated, DataError::unreadableFile},
        {unknownMethod, ArchiveError::invalidCompressionMethod},
        {cancelled, ArchiveError::cancelledOperation},
        {rawLink("long-link", std::string(5000, 'a')), ArchiveError::invalidEntryPath},
    };
    for (const auto& [raw, expected] : cases) {
        SCOPED_TRACE(raw.name);
        Fixture fixture({raw});
        Progress progress;
        if (raw.name == "cancelled") progress.cancel();
        std::size_t delivered = 0;
        try {
            fixture.archive->extractEntry(
                fixture.entries[0], [&](ByteView chunk) { delivered += chunk.size(); }, 16384,
                false, &progress);
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), expected);
            EXPECT_EQ(error.path(), fixture.path("a.zip"));
            EXPECT_EQ(error.entry(), raw.name);
        }
        EXPECT_LE(delivered, raw.uncompressedSize.value_or(0));  // never beyond the declared size
    }
}

TEST(ExtractingAnItem, NeverWritesThroughAnythingAlreadyThere) {
    Fixture fixture({rawFile("f", "new"), rawLink("l", "f")});
    testing::writeFileText(fixture.path("existing"), "old");
    ASSERT_EQ(::symlink(fixture.path("target").c_str(), fixture.path("dangling").c_str()), 0);
    for (const Entry& entry : fixture.entries) {
        for (const std::string& destination :
             {fixture.path("existing"), fixture.path("dangling")}) {
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
    EXPECT_EQ(testing::readFileBytes(fixture.path("existing")), testing::bytesOf("old"));
    EXPECT_FALSE(std::filesystem::exists(fixture.path("target")));
}

TEST(ExtractingAnItem, JudgesALinkTargetAgainstTheLinksOwnFolder) {
    struct Case {
        std::string target;
        bool allowOutside;
        std::error_code error;
    } cases[] = {
        {"sub/x", false, {}},
        {"a//b", false, {}},  // checked as a/b, created as written
        {"../x", false, ArchiveError::uncontainedSymlink},
        {"../x", true, {}},
        {"/etc/passwd", false, ArchiveError::uncontainedSymlink},
        {std::string("x\0/../../etc", 12), true, ArchiveError::invalidEntryPath},
    };
    for (const auto& [target, allowOutside, error] : cases) {
        SCOPED_TRACE(target);
        Fixture fixture({rawLink("l", target)});
        const std::string link = fixture.path("d/l");
        try {
            fixture.archive->extractEntry(fixture.entries[0], FileURL::fromPath(link), 16384, false,
                                          allowOutside);
            EXPECT_FALSE(error);
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), target);
        } catch (const Error& thrown) {
            EXPECT_EQ(thrown.code(), error);
            EXPECT_FALSE(std::filesystem::is_symlink(link));
        }
    }
}

}  // namespace
}  // namespace marrowzip

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"
#include "support/raw_archive.hpp"

namespace marrowzip::testing {
namespace {

// One archive file holding `raw`, opened for reading, with its entry.
struct Fixture {
    TemporaryDirectory folder;
    Archive archive;
    Entry entry;
    explicit Fixture(const RawEntry& raw)
        : archive((writeFileBytes(folder / "a.zip", buildRawArchive({raw})),
                   openArchive(folder / "a.zip", Archive::AccessMode::read))),
          entry(*archive.makeEntryIterator().next()) {}
    std::string path(const std::string& name) const { return (folder / name).string(); }
};

// Exactly the entry's bytes in chunks of the buffer's size, or an error that names the archive
// and the entry where the data disagrees with its records, after nothing beyond the declared size.
TEST(ExtractingToAConsumer, DeliversTheEntrysBytesInBufferSizedChunksOrRefusesThem) {
    const Bytes text = textBytes(100000);
    const std::string content(text.begin(), text.end());
    RawEntry deferredLink = rawLink("deferred-link", "../lib64/libz.so.1", true);
    deferredLink.deferredSizes = true;  // the local header says 0 bytes
    RawEntry inflatesBeyond = rawFile("beyond", content, true);
    inflatesBeyond.uncompressedSize = 1000;
    RawEntry inflatesShort = rawFile("short", "only a few bytes", true);
    inflatesShort.uncompressedSize = 2000;
    RawEntry storedTruncated = rawFile("truncated", "abc");
    storedTruncated.uncompressedSize = 100000;
    RawEntry unknownMethod = rawFile("method12", "abc");
    unknownMethod.method = 12;
    const std::tuple<RawEntry, std::vector<std::size_t>, std::error_code> cases[] = {
        {rawFile("empty", ""), {0}, {}},
        {rawFile("one-chunk-and-one", content.substr(0, 16385)), {16384, 1}, {}},
        {rawFile("deflated", content.substr(0, 40000), true), {16384, 16384, 7232}, {}},
        {rawLink("deflated-link", "../lib64/libz.so.1", true), {18}, {}},
        {deferredLink, {18}, {}},
        {inflatesBeyond, {}, CompressionError::corruptedData},
        {inflatesShort, {}, CompressionError::corruptedData},
        {storedTruncated, {}, DataError::unreadableFile},
        {unknownMethod, {}, ArchiveError::invalidCompressionMethod},
        {rawFile("cancelled", "abc"), {}, ArchiveError::cancelledOperation},
        {rawLink("long-link", std::string(5000, 'a')), {}, ArchiveError::invalidEntryPath},
    };
    for (const auto& [raw, chunks, expected] : cases) {
        Fixture fixture(raw);
        for (const bool skipChecksum : {false, true}) {
            SCOPED_TRACE(raw.name + (skipChecksum ? ", checksum skipped" : ""));
            Progress progress;
            if (raw.name == "cancelled") progress.cancel();
            std::vector<std::size_t> sizes;
            Bytes bytes;
            std::uint32_t checksum = 0;
            const auto error = errorOf([&] {
                checksum = fixture.archive.extractEntry(
                    fixture.entry,
                    [&](ByteView chunk) {
                        sizes.push_back(chunk.size());
                        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
                    },
                    16384, skipChecksum, &progress);
            });
            EXPECT_EQ(error ? error->code() : std::error_code(), expected);
            if (error) {
                EXPECT_EQ(error->path(), fixture.path("a.zip"));
                EXPECT_EQ(error->entry(), raw.name);
                EXPECT_LE(bytes.size(), raw.uncompressedSize.value_or(0));
                continue;
            }
            EXPECT_EQ(sizes, chunks);
            EXPECT_EQ(bytes, raw.content);
            // A link's checksum is computed whatever skipChecksum says.
            const bool computed = !skipChecksum || raw.mode == 0120777;
            EXPECT_EQ(checksum, computed ? crc32(0, bytes.data(), bytes.size()) : 0);
        }
    }
}

TEST(ExtractingAnItem, NeverWritesThroughAnythingAlreadyThere) {
    for (const RawEntry& raw : {rawFile("f", "new"), rawLink("l", "f")}) {
        Fixture fixture(raw);
        writeFileText(fixture.path("existing"), "old");
        ASSERT_EQ(::symlink(fixture.path("target").c_str(), fixture.path("dangling").c_str()), 0);
        for (const std::string& destination :
             {fixture.path("existing"), fixture.path("dangling")}) {
            const auto error = errorOf([&] {
                fixture.archive.extractEntry(fixture.entry, FileURL::fromPath(destination));
            });
            ASSERT_TRUE(error) << "overwrote " << destination;
            EXPECT_EQ(error->code(), FileError::fileWriteFileExists) << error->what();
            EXPECT_EQ(error->path(), destination);
            EXPECT_EQ(error->entry(), raw.name);
        }
        EXPECT_EQ(readFileBytes(fixture.path("existing")), bytesOf("old"));
        EXPECT_FALSE(std::filesystem::exists(fixture.path("target")));
    }
}

TEST(ExtractingAnItem, JudgesALinkTargetAgainstTheLinksOwnFolder) {
    const std::tuple<std::string, bool, std::error_code> cases[] = {
        // target, links may lead outside, error
        {"sub/x", false, {}},
        {"a//b", false, {}},  // checked as a/b, created as written
        {"../x", false, ArchiveError::uncontainedSymlink},
        {"../x", true, {}},
        {"/etc/passwd", false, ArchiveError::uncontainedSymlink},
        {std::string("x\0/../../etc", 12), true, ArchiveError::invalidEntryPath},
    };
    for (const auto& [target, allowOutside, expected] : cases) {
        SCOPED_TRACE(target);
        Fixture fixture(rawLink("l", target));
        const std::string link = fixture.path("d/l");
        const auto error = errorOf([&] {
            fixture.archive.extractEntry(fixture.entry, FileURL::fromPath(link), 16384, false,
                                         allowOutside);
        });
        EXPECT_EQ(error ? error->code() : std::error_code(), expected);
        EXPECT_EQ(std::filesystem::is_symlink(link), !expected);
        if (!expected) {
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), target);
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

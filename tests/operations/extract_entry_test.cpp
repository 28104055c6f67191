#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

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
// and the entry where the data disagrees with its records. (Data beyond the declared size is
// refused in the filesystem suite's unzip tests.)
TEST(ExtractingToAConsumer, DeliversTheEntrysBytesInBufferSizedChunksOrRefusesThem) {
    const Bytes text = textBytes(100000);
    const std::string content(text.begin(), text.end());
    RawEntry deferredLink = rawLink("deferred-link", "../lib64/libz.so.1", true);
    deferredLink.deferredSizes = true;  // the local header says 0 bytes
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
        {deferredLink, {18}, {}},
        {inflatesShort, {}, CompressionError::corruptedData},
        {storedTruncated, {}, DataError::unreadableFile},
        {unknownMethod, {}, ArchiveError::invalidCompressionMethod},
        {rawLink("long-link", std::string(5000, 'a')), {}, ArchiveError::invalidEntryPath},
    };
    for (const auto& [raw, chunks, expected] : cases) {
        Fixture fixture(raw);
        for (const bool skipChecksum : {false, true}) {
            SCOPED_TRACE(raw.name + (skipChecksum ? ", checksum skipped" : ""));
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
                    {.bufferSize = 16384, .skipChecksum = skipChecksum});
            });
            EXPECT_EQ(error ? error->code() : std::error_code(), expected);
            if (error) {
                EXPECT_EQ(error->path(), fixture.path("a.zip"));
                EXPECT_EQ(error->entry(), raw.name);
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

// A file extracted over an item is refused by the code that the unzip of a whole archive runs
// (see the filesystem suite); a link extracted on its own is judged here alone.
TEST(ExtractingALink, JudgesTheTargetAgainstItsOwnFolderAndReplacesNothing) {
    const std::tuple<std::string, bool, std::string, std::error_code> cases[] = {
        // target, links may lead outside, where, error
        {"a//b", false, "d/l", {}},  // checked as a/b, created as written
        {"../x", false, "d/l", ArchiveError::uncontainedSymlink},
        {"../x", true, "d/l", {}},
        {"/etc/passwd", false, "d/l", ArchiveError::uncontainedSymlink},
        {std::string("x\0/../../etc", 12), true, "d/l", ArchiveError::invalidEntryPath},
        // Even a link that leads nowhere is not replaced.
        {"x", false, "dangling", FileError::fileWriteFileExists},
    };
    for (const auto& [target, allowOutside, where, expected] : cases) {
        SCOPED_TRACE(target + " at " + where);
        Fixture fixture(rawLink("l", target));
        ASSERT_EQ(::symlink("missing", fixture.path("dangling").c_str()), 0);
        const std::string link = fixture.path(where);
        const auto error = errorOf([&] {
            fixture.archive.extractEntry(fixture.entry, FileURL::fromPath(link),
                                         {.bufferSize = 16384, .allowLinksOutside = allowOutside});
        });
        EXPECT_EQ(error ? error->code() : std::error_code(), expected);
        EXPECT_EQ(error ? error->path() : link, link);  // errors name the link
        EXPECT_EQ(std::filesystem::is_symlink(fixture.path("d/l")), !expected);
        EXPECT_EQ(std::filesystem::read_symlink(fixture.path(expected ? "dangling" : where)),
                  expected ? "missing" : target);
    }
}

}  // namespace
}  // namespace marrowzip::testing

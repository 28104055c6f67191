// Entries beyond the 32-bit limits: gigabytes of data, so this suite runs only in the plain build.
#include <gtest/gtest.h>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

constexpr std::uint32_t saturated = 0xFFFFFFFF;

std::string unzipTest(const std::filesystem::path& path) {
    const auto result = runCommand("unzip -tq " + shellQuote(path.string()));
    return result.exitCode == 0 ? "" : result.output;
}

TEST(LargeEntries, AFourGiBStoredEntryRoundTripsWithZIP64Sizes) {
    TemporaryDirectory folder;
    const auto path = folder / "large.zip";
    const std::int64_t size = (std::int64_t{4} << 30) + 1;
    Archive archive = Archive::openFile(fileURL(path), Archive::AccessMode::create);
    archive.appendEntry(
        "zeros", {.uncompressedSize = size, .modificationDate = sampleDate},
        [](std::int64_t, std::int64_t wanted) { return Bytes(static_cast<std::size_t>(wanted)); });
    appendBytes(archive, "after.txt", bytesOf("after\n"));

    const Entry big = *archive.findEntry("zeros");
    EXPECT_EQ(big.localFileHeader.versionNeededToExtract, 45);
    EXPECT_EQ(big.localFileHeader.uncompressedSize, saturated);
    EXPECT_EQ(big.localFileHeader.compressedSize, saturated);
    // The ZIP64 block with both sizes (20 bytes), then the extended timestamp (9 bytes).
    EXPECT_EQ(big.localFileHeader.extraFieldLength, 29);
    EXPECT_EQ(big.centralDirectoryStructure.extraFieldLength, 29);
    EXPECT_EQ(big.modificationTime(), (Timestamp{static_cast<std::int64_t>(sampleDate), 0}));
    EXPECT_EQ(big.uncompressedSize(), static_cast<std::uint64_t>(size));
    // The entry behind it starts beyond 4 GiB: its offset lives in a ZIP64 block.
    const Entry after = *archive.findEntry("after.txt");
    EXPECT_EQ(after.centralDirectoryStructure.relativeOffsetOfLocalHeader, saturated);
    EXPECT_EQ(after.localHeaderOffset(), big.localRecordLength());
    EXPECT_TRUE(archive.zip64EndOfCentralDirectory().has_value());
    EXPECT_EQ(unzipTest(path), "");

    // Removing the large entry moves the small one to offset 0 and its offset out of the block.
    archive.removeEntry(big);
    const Entry moved = *archive.findEntry("after.txt");
    EXPECT_EQ(moved.localHeaderOffset(), 0u);
    EXPECT_EQ(moved.centralDirectoryStructure.relativeOffsetOfLocalHeader, 0u);
    EXPECT_EQ(moved.centralDirectoryStructure.extraFieldLength, 9);  // the timestamp alone
    EXPECT_FALSE(archive.zip64EndOfCentralDirectory().has_value());
    EXPECT_EQ(entryBytes(archive, moved), bytesOf("after\n"));
    EXPECT_LT(std::filesystem::file_size(path), 1000u);
    EXPECT_EQ(unzipTest(path), "");
}

// The records of small files are made by the workers before their offsets are known; behind
// 4 GiB the offset goes to a ZIP64 block, which the records made so cannot hold.
TEST(LargeEntries, SmallFilesAppendedInParallelBehindFourGiBGetZIP64Offsets) {
    TemporaryDirectory folder;
    const auto path = folder / "large.zip";
    const auto zeros = folder / "zeros";
    writeFileBytes(zeros, {});
    std::filesystem::resize_file(zeros, (std::uint64_t{4} << 30) + 1);  // sparse: no disk used
    writeFileBytes(folder / "a.txt", textBytes(3000, 1));
    writeFileBytes(folder / "b.txt", textBytes(20, 2));
    {
        Archive archive = Archive::openFile(fileURL(path), Archive::AccessMode::create);
        Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, {.workers = 2});
        const Archive::RelativeTo base{fileURL(folder.path())};
        archive.appendEntry("zeros", base, {.compressionMethod = CompressionMethod::none});
        for (const char* name : {"a.txt", "b.txt"})
            archive.appendEntry(name, base, {.compressionMethod = CompressionMethod::deflate});
        bulk.finish();
    }
    Archive archive = Archive::openFile(fileURL(path), Archive::AccessMode::read);
    const Entry big = *archive.findEntry("zeros");
    std::uint64_t next = big.localRecordLength();
    for (const char* name : {"a.txt", "b.txt"}) {
        const Entry entry = *archive.findEntry(name);
        EXPECT_EQ(entry.centralDirectoryStructure.relativeOffsetOfLocalHeader, saturated) << name;
        EXPECT_EQ(entry.localHeaderOffset(), next) << name;
        EXPECT_EQ(entryBytes(archive, entry), readFileBytes(folder / name)) << name;
        next += entry.localRecordLength();
    }
    EXPECT_EQ(runCommand("unzip -tq " + shellQuote(path.string()) + " a.txt b.txt").exitCode, 0);
}

}  // namespace
}  // namespace marrowzip::testing

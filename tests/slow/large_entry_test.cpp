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

}  // namespace
}  // namespace marrowzip::testing

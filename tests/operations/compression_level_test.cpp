// Compression levels of a bulk append: each path of the coders (a file compressed whole, a large
// one in blocks on workers, bytes from a provider) follows the level, the data comes back
// intact, and a higher level never gives a larger archive of text.
#include <gtest/gtest.h>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

struct LevelSample {
    TemporaryDirectory folder;
    Bytes small = textBytes(200000, 3);   // compressed whole
    Bytes large = textBytes(3 << 20, 4);  // in blocks of a small worker budget

    LevelSample() {
        writeFileBytes(folder / "small.txt", small);
        writeFileBytes(folder / "large.log", large);
    }

    std::filesystem::path archive(int level) {
        const auto path = folder / ("level" + std::to_string(level) + ".zip");
        Archive archive = openArchive(path);
        Archive::BulkOptions options{3, std::uint64_t{1} << 20};
        options.level = level;
        Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
        for (const std::string name : {"small.txt", "large.log"}) {
            archive.appendEntry(name, fileURL(folder / name),
                                {.compressionMethod = CompressionMethod::deflate});
        }
        appendBytes(archive, "provided.txt", small, CompressionMethod::deflate);
        bulk.finish();
        return path;
    }
};

TEST(CompressionLevels, RoundTripAndHigherLevelsAreNeverLarger) {
    LevelSample sample;
    const Contents expected{
        {"small.txt", sample.small}, {"large.log", sample.large}, {"provided.txt", sample.small}};
    std::uintmax_t previous = UINTMAX_MAX;
    for (const int level : {1, 3, 6, 9}) {
        SCOPED_TRACE(level);
        const auto path = sample.archive(level);
        EXPECT_EQ(contentsOf(path), expected);
        EXPECT_EQ(clientComplaints(path), "");
        const std::uintmax_t size = std::filesystem::file_size(path);
        EXPECT_LE(size, previous);
        previous = size;
    }
    // The fastest level differs from the default: the level reaches the coders.
    EXPECT_GT(std::filesystem::file_size(sample.folder / "level1.zip"),
              std::filesystem::file_size(sample.folder / "level6.zip"));
}

TEST(CompressionLevels, OutsideOneToNineAreRefusedBeforeAnythingIsWritten) {
    SampleArchive sample;
    const Bytes before = sample.bytes();
    for (const int level : {0, 10, -1}) {
        Archive::BulkOptions options;
        options.level = level;
        const auto error = errorOf([&] {
            [[maybe_unused]] auto bulk = sample.archive->beginBulkAppend(defaultChunkSize, options);
        });
        ASSERT_TRUE(error) << level;
        EXPECT_EQ(error->code(), make_error_code(ArchiveError::invalidCompressionMethod));
    }
    EXPECT_EQ(sample.bytes(), before);
}

}  // namespace
}  // namespace marrowzip::testing

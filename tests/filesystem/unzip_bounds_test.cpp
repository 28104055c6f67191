// Extraction writes no more than the archive's own bytes can account for: entries whose local
// records share bytes (one compressed block listed many times) are refused before they are
// written, and no entry grows beyond its declared size.
#include <gtest/gtest.h>

#include <filesystem>

#include "marrowzip/common/error.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::RawEntry;
using testing::rawFile;

RawEntry sharing(RawEntry entry, std::string name, std::uint32_t offset) {
    entry.name = std::move(name);
    entry.localHeaderOffset = offset;
    return entry;
}

// The local record of a stored "b" holding "hello", to be quoted inside another entry's data.
std::string localRecordOfB() {
    const Bytes archive = testing::buildRawArchive({rawFile("b", "hello")});
    return std::string(archive.begin(), archive.begin() + 30 + 1 + 5);
}

// Another central record for the deflated entry `original`, written as the first of the
// archive: its data is given as it lies on disk, so that it is compressed only once.
RawEntry copyOfFirst(const RawEntry& original, const Bytes& archive, std::string name) {
    const std::size_t compressed = archive[18] | archive[19] << 8 | archive[20] << 16;
    const std::size_t start = 30 + original.name.size();
    RawEntry copy = original;
    copy.content.assign(archive.begin() + start, archive.begin() + start + compressed);
    copy.deflated = false;
    copy.method = 8;
    copy.crc = archive[14] | archive[15] << 8 | archive[16] << 16 | archive[17] << 24;
    copy.uncompressedSize = static_cast<std::uint32_t>(original.content.size());
    return sharing(copy, std::move(name), 0);
}

struct Case {
    std::string title;
    std::vector<RawEntry> entries;
    std::optional<std::error_code> error;
    std::vector<std::pair<std::string, std::uintmax_t>> written;  // every file, with its size
};

TEST(UnzippingOverlappingEntries, RefusesTheFirstEntryThatSharesBytesBeforeWritingIt) {
    const RawEntry a = rawFile("a", std::string(1000, 'a'));
    const RawEntry bomb = rawFile("zeros", std::string(1 << 20, '\0'), true);
    const RawEntry quoting = rawFile("quoting", localRecordOfB());
    RawEntry intoTheDirectory = rawFile("long", "x");
    intoTheDirectory.uncompressedSize = 5000;
    RawEntry inflatesBeyond = bomb;
    inflatesBeyond.uncompressedSize = 1000;
    const Bytes bombArchive = testing::buildRawArchive({bomb});
    std::vector<RawEntry> manyCopies = {bomb};
    for (int i = 0; i < 200; ++i) {
        manyCopies.push_back(copyOfFirst(bomb, bombArchive, "z" + std::to_string(i)));
    }

    const Case cases[] = {
        {"two central records for one local record",
         {a, sharing(a, "b", 0)},
         ArchiveError::invalidLocalHeaderDataOffset,
         {{"a", 1000}}},
        {"one deflated block listed 201 times",
         manyCopies,
         ArchiveError::invalidLocalHeaderDataOffset,
         {{"zeros", 1 << 20}}},
        {"a record quoted inside the data of an earlier one",
         {quoting, sharing(rawFile("b", "hello"), "b", 37)},
         ArchiveError::invalidLocalHeaderDataOffset,
         {{"quoting", 36}}},
        {"a record around a later one",
         {sharing(rawFile("b", "hello"), "b", 37), quoting},
         ArchiveError::invalidLocalHeaderDataOffset,
         {{"b", 5}}},
        {"stored data claimed to run into the central directory",
         {a, intoTheDirectory},
         ArchiveError::invalidLocalHeaderDataOffset,
         {{"a", 1000}}},
        {"deflated data beyond the declared size",
         {inflatesBeyond},
         CompressionError::corruptedData,
         {{"zeros", 1000}}},
        {"records back to back", {a, rawFile("b", "hello")}, std::nullopt, {{"a", 1000}, {"b", 5}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.title);
        testing::TemporaryDirectory folder;
        testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(test.entries));
        try {
            unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                    FileURL::fromPath((folder / "dest").string()));
            EXPECT_FALSE(test.error);
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), test.error.value_or(std::error_code())) << error.what();
            EXPECT_FALSE(error.entry().empty()) << error.what();
        }
        std::vector<std::pair<std::string, std::uintmax_t>> written;
        for (const auto& item : std::filesystem::directory_iterator(folder / "dest")) {
            written.emplace_back(item.path().filename().string(), item.file_size());
        }
        std::sort(written.begin(), written.end());
        // The refused entry left nothing, not even an empty file; a file cut at its declared
        // size may stay, as any failed extraction's last file does.
        if (test.title.starts_with("deflated")) {
            ASSERT_EQ(written.size(), 1U);
            EXPECT_LE(written[0].second, 1000U);
        } else {
            EXPECT_EQ(written, test.written);
        }
    }
}

}  // namespace
}  // namespace marrowzip

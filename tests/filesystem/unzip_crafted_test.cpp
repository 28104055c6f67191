// Archives written byte by byte, unzipped into parent/dest: names and links that lead out of
// the destination, records that share bytes, wrong checksums and central directories that end
// early. Whatever happens, nothing appears in parent beside dest.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "marrowzip/common/error.hpp"
#include "marrowzip/filesystem/beneath.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;
using testing::RawEntry;
using testing::rawFile;
using testing::rawFolder;
using testing::rawLink;

struct Options {
    bool skipChecksum = false;
    bool allowLinksOutside = false;
};

struct Outcome {
    Error error{std::error_code()};  // no code when the archive was extracted
    std::vector<std::string> tree;   // what dest holds, files with their sizes
};

Outcome unzipRaw(const fs::path& folder, const std::vector<RawEntry>& entries,
                 Options options = {}) {
    const fs::path parent = folder / "parent";
    fs::remove_all(parent);
    fs::create_directories(parent);
    testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(entries));
    Outcome outcome;
    try {
        unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                FileURL::fromPath((parent / "dest").string()), options.skipChecksum,
                                options.allowLinksOutside);
    } catch (const Error& error) {
        outcome.error = error;
    }
    for (const std::string& item : testing::listTree(parent)) {
        if (item == "dest") continue;
        EXPECT_TRUE(item.starts_with("dest/")) << item << " escaped";
        const bool file = fs::is_regular_file(fs::symlink_status(parent / item));
        outcome.tree.push_back(item.substr(5) +
                               (file ? " " + std::to_string(fs::file_size(parent / item)) : ""));
    }
    return outcome;
}

TEST(UnzippingHostileArchives, KeepsEveryItemInsideTheDestination) {
    testing::TemporaryDirectory folder;
    const std::string absolute = (folder / "parent/absolute-evil.txt").string();
    const std::error_code badName = FileError::fileReadInvalidFileName;
    const std::error_code outside = ArchiveError::uncontainedSymlink;
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        std::error_code error;
        bool allowLinksOutside = false;
    } cases[] = {
        {"parent entry", {rawFile("../evil.txt", "x")}, badName},
        {"absolute entry", {rawFile(absolute, "x")}, badName},
        {"climbing entry", {rawFile("a/../../evil.txt", "x")}, badName},
        {"NUL in a name", {rawFile(std::string("ok\0/../../evil.txt", 18), "x")}, badName},
        {"link to /etc/passwd", {rawLink("passwd", "/etc/passwd")}, outside},
        {"link out of the tree", {rawLink("sub/x", "../../x")}, outside},
        {"link to the folder, then a path through it",
         {rawLink("l", "."), rawFile("l/../evil.txt", "x")},
         badName},
        {"link resolved through an earlier link",
         {rawLink("l2", "."), rawLink("esc", "l2/..")},
         outside},
        {"the same links allowed, then a path through them",
         {rawLink("l2", "."), rawLink("esc", "l2/.."), rawFile("esc/evil.txt", "x")},
         badName,
         true},
        {"climbing out of a folder that a later link may replace",
         {rawLink("esc", "l2/.."), rawLink("l2", ".")},
         outside},
        {"a file over a link made earlier",
         {rawLink("l", "../victim"), rawFile("l", "x")},
         FileError::fileWriteFileExists,
         true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome =
            unzipRaw(folder.path(), test.entries, {.allowLinksOutside = test.allowLinksOutside});
        EXPECT_EQ(outcome.error.code(), test.error) << outcome.error.what();
    }
    // Links between folders of the tree, and paths through them, are fine.
    const Outcome inside =
        unzipRaw(folder.path(), {rawLink("lib/libz.so", "../lib64/libz.so.1"),
                                 rawFile("lib64/libz.so.1", "z"), rawLink("up/l", "../lib64"),
                                 rawFile("up/l/through.txt", "t"), rawFile("a/../b.txt", "b")});
    EXPECT_FALSE(inside.error.code()) << inside.error.what();
    EXPECT_EQ(testing::readFileBytes(folder / "parent/dest/lib/libz.so"), testing::bytesOf("z"));
    EXPECT_EQ(inside.tree,
              (std::vector<std::string>{"a", "b.txt 1", "lib", "lib/libz.so", "lib64",
                                        "lib64/libz.so.1 1", "lib64/through.txt 1", "up", "up/l"}));
}

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

// Extraction writes no more than the archive's own bytes can account for: an entry whose local
// record shares bytes with another (one compressed block listed many times) is refused before
// it is written, and no entry grows beyond its declared size.
TEST(UnzippingOverlappingEntries, RefusesTheFirstEntryThatSharesBytesBeforeWritingIt) {
    const RawEntry a = rawFile("a", std::string(1000, 'a'));
    const RawEntry b = rawFile("b", "hello");
    const RawEntry bomb = rawFile("zeros", std::string(1 << 20, '\0'), true);
    const RawEntry quoting = rawFile("quoting", localRecordOfB());
    RawEntry intoTheDirectory = rawFile("long", "x");
    intoTheDirectory.uncompressedSize = 5000;
    const Bytes bombArchive = testing::buildRawArchive({bomb});
    std::vector<RawEntry> manyCopies = {bomb};
    for (int i = 0; i < 200; ++i) {
        manyCopies.push_back(copyOfFirst(bomb, bombArchive, "z" + std::to_string(i)));
    }
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        std::vector<std::string> files;  // all that is written
        bool refused = true;             // with invalidLocalHeaderDataOffset
    } cases[] = {
        {"two central records for one local record", {a, sharing(a, "b", 0)}, {"a 1000"}},
        {"one deflated block listed 201 times", manyCopies, {"zeros 1048576"}},
        {"a record quoted inside the data of an earlier one",
         {quoting, sharing(b, "b", 37)},
         {"quoting 36"}},
        {"a record around a later one", {sharing(b, "b", 37), quoting}, {"b 5"}},
        {"stored data claimed to run into the central directory",
         {a, intoTheDirectory},
         {"a 1000"}},
        {"records back to back", {a, b}, {"a 1000", "b 5"}, false},
    };
    testing::TemporaryDirectory folder;
    const std::error_code overlap = ArchiveError::invalidLocalHeaderDataOffset;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome = unzipRaw(folder.path(), test.entries);
        EXPECT_EQ(outcome.error.code(), test.refused ? overlap : std::error_code())
            << outcome.error.what();
        EXPECT_EQ(outcome.error.entry().empty(), !test.refused) << outcome.error.what();
        // The refused entry left nothing, not even an empty file.
        EXPECT_EQ(outcome.tree, test.files);
    }
    // Deflated data beyond the declared size: a file cut at that size may stay, as any failed
    // extraction's last file does.
    RawEntry inflatesBeyond = bomb;
    inflatesBeyond.uncompressedSize = 1000;
    const Outcome beyond = unzipRaw(folder.path(), {inflatesBeyond});
    EXPECT_EQ(beyond.error.code(), CompressionError::corruptedData) << beyond.error.what();
    ASSERT_EQ(beyond.tree.size(), 1U);
    EXPECT_LE(fs::file_size(folder / "parent/dest/zeros"), 1000U);
}

// A file whose CRC-32 is wrong stays, as the last file of any failed extraction may.
TEST(UnzippingDamagedArchives, StopsAtTheFirstBadEntryAndKeepsWhatCameBefore) {
    RawEntry damaged = rawFile("damaged.txt", "data");
    damaged.crc = 0x12345678;
    RawEntry encrypted = rawFile("secret.txt", "xxxx");
    encrypted.flags |= 0x0001;
    const RawEntry first = rawFile("first.txt", "1");
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        Options options;
        std::error_code error;
        std::vector<std::string> files;
        std::string detail = "";
    } cases[] = {
        {"a wrong CRC-32", {damaged}, {}, ArchiveError::invalidCRC32, {"damaged.txt 4"}},
        {"a wrong CRC-32 not checked", {damaged}, {.skipChecksum = true}, {}, {"damaged.txt 4"}},
        {"an encrypted entry",
         {first, encrypted, rawFile("after", "")},
         {},
         ArchiveError::invalidCentralDirectoryEntryCount,
         {"first.txt 1"},
         "encrypted entries are not supported"},
    };
    testing::TemporaryDirectory folder;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome = unzipRaw(folder.path(), test.entries, test.options);
        EXPECT_EQ(outcome.error.code(), test.error) << outcome.error.what();
        EXPECT_EQ(outcome.error.detail(), test.detail);
        EXPECT_EQ(outcome.tree, test.files);
    }
}

// The walk used where the kernel has no openat2 must give the kernel's answers.
TEST(WalkingBeneathAFolder, RefusesWhatLeavesItThroughLinks) {
    testing::TemporaryDirectory folder;
    const auto root = folder / "root";
    fs::create_directories(root / "sub/deep");
    fs::create_directory_symlink(".", root / "l2");
    fs::create_directory_symlink("l2/..", root / "esc");
    fs::create_directory_symlink("../../sub/deep", root / "sub/deep/back");
    fs::create_directory_symlink(folder.path(), root / "absolute");
    const UniqueFd descriptor(::open(root.c_str(), O_PATH | O_DIRECTORY));
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"sub", "deep"}, 0},
        {{"l2", "sub", "..", "sub"}, 0},
        {{"sub", "deep", "back"}, 0},
        {{"l2", ".."}, EXDEV},
        {{"esc"}, EXDEV},
        {{"absolute"}, EXDEV},
        {{"sub", "..", ".."}, EXDEV},
        {{"missing"}, ENOENT},
    };
    for (const auto& [components, expected] : cases) {
        UniqueFd opened;
        EXPECT_EQ(walkBeneath(descriptor.get(), components, opened), expected)
            << components.front();
        EXPECT_EQ(opened.valid(), expected == 0);
    }
}

}  // namespace
}  // namespace marrowzip

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "marrowzip/processing/crc32.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

// Path, mode and content (a link's target) of every item; listTree would resolve the links.
std::vector<std::string> describeTree(const fs::path& root) {
    std::vector<std::string> items;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        ::lstat(item.path().c_str(), &status);
        std::string content = S_ISLNK(status.st_mode) ? fs::read_symlink(item).string()
                              : S_ISREG(status.st_mode)
                                  ? std::to_string(updateCRC32(readFileBytes(item.path()), 0))
                                  : "";
        items.push_back(item.path().lexically_relative(root).string() + " " +
                        std::to_string(status.st_mode) + " " + content);
    }
    std::sort(items.begin(), items.end());
    return items;
}

TEST(AppendedArchives, PassTheClientsAndUnpackToTheSameTree) {
    TemporaryDirectory folder;
    const fs::path tree = folder / "tree";
    writeFileBytes(tree / "text.txt", textBytes(200000));
    writeFileBytes(tree / "noise.bin", randomBytes(70000));
    writeFileBytes(tree / "empty", {});
    writeFileBytes(tree / "sub/Grüße ünd ß.txt", bytesOf("non-ASCII\n"));
    writeFileBytes(tree / "sub/setuid-tool", bytesOf("#!/bin/sh\n"));
    fs::create_directories(tree / "sub/folder");
    fs::create_symlink("../text.txt", tree / "sub/link");
    fs::create_symlink("missing/target", tree / "dangling");
    fs::permissions(tree / "sub/setuid-tool", static_cast<fs::perms>(04755));
    fs::permissions(tree / "noise.bin", static_cast<fs::perms>(0600));
    fs::permissions(tree / "sub/folder", static_cast<fs::perms>(0750));

    const fs::path path = folder / "tree.zip";
    {
        Archive archive =
            Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
        bool deflate = false;
        for (const auto& item : fs::recursive_directory_iterator(tree)) {
            deflate = !deflate;  // both methods, on files of every kind
            archive.appendEntry(item.path().lexically_relative(tree).string(),
                                Archive::RelativeTo{FileURL::fromPath(tree.string(), true)},
                                deflate ? CompressionMethod::deflate : CompressionMethod::none);
        }
    }
    EXPECT_EQ(clientComplaints(path), "");
    // -K keeps the set-user-ID bit.
    const auto result = runCommand("unzip -K -q " + shellQuote(path.string()) + " -d " +
                                   shellQuote((folder / "out").string()));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(describeTree(folder / "out"), describeTree(tree));
}

TEST(AppendedArchives, GetZIP64EndRecordsFromThe65535thEntryOn) {
    // A bulk append writes the first 65533 entries with one directory; single appends then cross
    // the limit one entry at a time, and a second bulk append goes on to 70000 entries.
    TemporaryDirectory folder;
    const fs::path path = folder / "many.zip";
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    const auto appendEmptyEntries = [&](std::uint64_t from, std::uint64_t to) {
        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (std::uint64_t i = from; i < to; ++i)
            appendBytes(archive, std::to_string(i), {});
        bulk.finish();
    };
    appendEmptyEntries(0, 65533);
    EXPECT_FALSE(archive.zip64EndOfCentralDirectory().has_value());
    for (std::uint64_t count = 65534; count <= 65537; ++count) {  // entries after the append
        appendBytes(archive, "x" + std::to_string(count), bytesOf("data"));
        const bool zip64 = count >= 0xFFFF;
        EXPECT_EQ(archive.zip64EndOfCentralDirectory().has_value(), zip64) << count;
        EXPECT_EQ(archive.endOfCentralDirectoryRecord().totalNumberOfEntriesInCentralDirectory,
                  zip64 ? 0xFFFF : count);
    }
    appendEmptyEntries(65537, 70000);
    EXPECT_EQ(clientComplaints(path), "");
    Archive reopened =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);
    ASSERT_TRUE(reopened.zip64EndOfCentralDirectory().has_value());
    EXPECT_EQ(reopened.totalNumberOfEntries(), 70000u);
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("x65537")), bytesOf("data"));
    EXPECT_TRUE(reopened.findEntry("69999").has_value());
}

}  // namespace
}  // namespace marrowzip::testing

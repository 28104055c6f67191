#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

std::uint32_t modeOf(const fs::path& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status.st_mode;
}

// listTree resolves links through std::filesystem::relative; these names must stay the links'.
std::vector<std::string> treeOf(const fs::path& root) {
    std::vector<std::string> paths;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        paths.push_back(item.path().lexically_relative(root).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(AppendedArchives, PassTheClientsAndUnpackToTheSameTree) {
    TemporaryDirectory folder;
    const fs::path tree = folder / "tree";
    writeFileBytes(tree / "text.txt", textBytes(200000));
    writeFileBytes(tree / "noise.bin", randomBytes(70000));
    writeFileBytes(tree / "empty", {});
    writeFileBytes(tree / "sub/Grüße ünd ß.txt", bytesOf("non-ASCII\n"));
    writeFileBytes(tree / "sub/setuid-tool", bytesOf("#!/bin/sh\n"));
    fs::create_directories(tree / "sub/empty-folder");
    fs::create_symlink("../text.txt", tree / "sub/link");
    fs::create_symlink("missing/target", tree / "dangling");
    fs::permissions(tree / "sub/setuid-tool", static_cast<fs::perms>(04755));
    fs::permissions(tree / "noise.bin", static_cast<fs::perms>(0600));
    fs::permissions(tree / "sub/empty-folder", static_cast<fs::perms>(0750));

    const fs::path archivePath = folder / "tree.zip";
    {
        Archive archive =
            Archive::openFile(FileURL::fromPath(archivePath.string()), Archive::AccessMode::create);
        const Archive::RelativeTo base{FileURL::fromPath(tree.string(), true)};
        bool deflate = false;
        for (const auto& relative : treeOf(tree)) {
            deflate = !deflate;  // both methods on files of every kind
            archive.appendEntry(relative, base,
                                deflate ? CompressionMethod::deflate : CompressionMethod::none);
        }
        std::size_t count = 0;
        for (const Entry& entry : archive) {
            const fs::path item = tree / entry.path();
            SCOPED_TRACE(entry.path());
            const auto mode = modeOf(item);
            EXPECT_EQ(entry.centralDirectoryStructure.externalFileAttributes >> 16, mode);
            if (S_ISDIR(mode)) {
                EXPECT_EQ(entry.type(), EntryType::directory);
                EXPECT_EQ(entry.path().back(), '/');
            } else if (S_ISLNK(mode)) {
                EXPECT_EQ(entry.type(), EntryType::symlink);
                EXPECT_EQ(entryBytes(archive, entry), bytesOf(fs::read_symlink(item).string()));
            } else {
                EXPECT_EQ(entryBytes(archive, entry), readFileBytes(item));
            }
            ++count;
        }
        EXPECT_EQ(count, treeOf(tree).size());
    }
    EXPECT_EQ(clientComplaints(archivePath), "");

    const fs::path unpacked = folder / "unpacked";
    // -K keeps the set-user-ID bit.
    const auto result = runCommand("unzip -K -q " + shellQuote(archivePath.string()) + " -d " +
                                   shellQuote(unpacked.string()));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    ASSERT_EQ(treeOf(unpacked), treeOf(tree));
    for (const auto& relative : treeOf(tree)) {
        SCOPED_TRACE(relative);
        const auto mode = modeOf(tree / relative);
        EXPECT_EQ(modeOf(unpacked / relative), mode);
        if (S_ISLNK(mode)) {
            EXPECT_EQ(fs::read_symlink(unpacked / relative), fs::read_symlink(tree / relative));
        } else if (S_ISREG(mode)) {
            EXPECT_EQ(readFileBytes(unpacked / relative), readFileBytes(tree / relative));
        }
    }
}

TEST(AppendedArchives, GetZIP64EndRecordsFromThe65535thEntryOn) {
    // Every append writes the whole central directory back, so 65535 appends would rewrite
    // gigabytes; Python writes the first 65533 entries, and appendEntry crosses the limit.
    TemporaryDirectory folder;
    const fs::path path = folder / "many.zip";
    const auto made = runCommand(
        "python3 -c 'import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
        "    for i in range(65533): z.writestr(str(i), \"\")' " +
        shellQuote(path.string()));
    ASSERT_EQ(made.exitCode, 0) << made.output;

    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::update);
    for (std::uint64_t count = 65534; count <= 65537; ++count) {  // entries after the append
        appendBytes(archive, "x" + std::to_string(count), bytesOf("data"));
        const bool zip64 = count >= 0xFFFF;
        EXPECT_EQ(archive.zip64EndOfCentralDirectory().has_value(), zip64) << count;
        EXPECT_EQ(archive.endOfCentralDirectoryRecord().totalNumberOfEntriesInCentralDirectory,
                  zip64 ? 0xFFFF : count);
        EXPECT_EQ(archive.totalNumberOfEntries(), count);
    }
    EXPECT_EQ(clientComplaints(path), "");

    Archive reopened =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);
    EXPECT_EQ(reopened.totalNumberOfEntries(), 65537u);
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("x65537")), bytesOf("data"));
}

}  // namespace
}  // namespace marrowzip::testing

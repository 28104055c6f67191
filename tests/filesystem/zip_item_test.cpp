#include "marrowzip/filesystem/zip_item.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "filesystem/tree_comparison.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"

namespace marrowzip {
namespace {

FileURL urlOf(const std::filesystem::path& path) {
    return FileURL::fromPath(path.string());
}

std::vector<std::string> entryPaths(const std::filesystem::path& archive) {
    std::vector<std::string> paths;
    for (const Entry& entry : Archive::openFile(urlOf(archive), Archive::AccessMode::read)) {
        paths.push_back(entry.path());
    }
    return paths;
}

TEST(ZippingAFolder, GivesAnArchiveThatOtherToolsAcceptAndThatUnzipsIntoTheSameTree) {
    testing::TemporaryDirectory folder;
    testing::makeSampleTree(folder / "source/docs");
    testing::setTime(folder / "source/docs", testing::folderTime);
    for (const auto method : {CompressionMethod::deflate, CompressionMethod::none}) {
        const auto archive = folder / ("docs" + std::to_string(static_cast<int>(method)) + ".zip");
        zipFileSystemItem(urlOf(folder / "source/docs"), urlOf(archive), true, method);
        const auto paths = entryPaths(archive);
        ASSERT_FALSE(paths.empty());
        EXPECT_EQ(paths.back(), "docs/");  // the folder's own entry comes last
        // The rest in byte order, whatever order the folder lists them in: the same tree
        // always gives the same archive.
        EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end() - 1));
        const auto again = folder / "again.zip";
        zipFileSystemItem(urlOf(folder / "source/docs"), urlOf(again), true, method);
        EXPECT_EQ(testing::readFileBytes(again), testing::readFileBytes(archive));
        std::filesystem::remove(again);
        for (const auto& path : paths)
            EXPECT_EQ(path.rfind("docs/", 0), 0U) << path;

        const std::string quoted = testing::shellQuote(archive.string());
        const auto unzipTest = testing::runCommand("unzip -t " + quoted);
        EXPECT_EQ(unzipTest.exitCode, 0) << unzipTest.output;
        const auto pythonTest = testing::runCommand("python3 -m zipfile -t " + quoted);
        EXPECT_EQ(pythonTest.exitCode, 0) << pythonTest.output;

        const auto dest = folder / ("dest" + std::to_string(static_cast<int>(method)));
        unzipArchiveToDirectory(urlOf(archive), urlOf(dest));
        testing::expectSameTree(folder / "source", dest);
    }
}

TEST(ZippingAnItem, NamesEntriesAsTheFolderPrefixAsks) {
    testing::TemporaryDirectory folder;
    testing::writeFileText(folder / "docs/a.txt", "0123456789");
    std::filesystem::create_directories(folder / "empty");
    struct Case {
        std::string source;
        bool prefix;
        std::vector<std::string> entries;
        std::int64_t units;
    } cases[] = {
        {"docs", false, {"a.txt"}, 10},      {"docs", true, {"docs/a.txt", "docs/"}, 11},
        {"docs/a.txt", true, {"a.txt"}, 10}, {"empty", false, {}, 0},
        {"empty", true, {"empty/"}, 1},
    };
    int index = 0;
    for (const auto& [source, prefix, entries, units] : cases) {
        SCOPED_TRACE(source + (prefix ? " with prefix" : ""));
        const auto archive = folder / ("out" + std::to_string(index++) + ".zip");
        Progress progress;
        zipFileSystemItem(urlOf(folder / source), urlOf(archive), prefix,
                          CompressionMethod::deflate, &progress);
        EXPECT_EQ(entryPaths(archive), entries);
        EXPECT_EQ(progress.totalUnitCount(), units);
    }
    EXPECT_THROW(zipFileSystemItem(urlOf(folder / "docs"), urlOf(folder / "docs/a.txt")), Error);
    EXPECT_EQ(testing::readFileBytes(folder / "docs/a.txt"), testing::bytesOf("0123456789"));
}

}  // namespace
}  // namespace marrowzip

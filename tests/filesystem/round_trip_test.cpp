// Trees zipped and unzipped again: archives that Info-ZIP zip and 7-Zip write, unzipped, and
// folders that zipFileSystemItem zips.
#include <gtest/gtest.h>

#include <algorithm>

#include "filesystem/tree_comparison.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/filesystem/zip_item.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

TEST(UnzippingArchivesOfOtherWriters, RecreatesTheTreeTheyWereMadeFrom) {
    const std::string seven = sevenZip();
    // Each program with its command, run inside the source folder.
    const std::pair<std::string, std::string> writers[] = {
        {"zip", "zip -r -y -q ../a.zip ."},
        {seven.empty() ? "7z" : seven, seven + " a -tzip -snl ../a.zip . >/dev/null"},
    };
    for (const auto& [program, command] : writers) {
        SCOPED_TRACE(program);
        if (!haveProgram(program)) continue;
        TemporaryDirectory folder;
        makeSampleTree(folder / "source");
        const auto made =
            runCommand("cd " + shellQuote((folder / "source").string()) + " && " + command);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        Progress progress;
        unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(folder / "dest"), false, false,
                                &progress);
        expectSameTree(folder / "source", folder / "dest");
        EXPECT_DOUBLE_EQ(progress.fractionCompleted(), 1.0);
    }
}

// Deflated: the stored archive the tool creates is unzipped by Info-ZIP in the tool suite,
// which also has the clients test both.
TEST(ZippingAFolder, GivesTheSameArchiveEveryTimeThatUnzipsIntoTheSameTree) {
    TemporaryDirectory folder;
    makeSampleTree(folder / "source/docs");
    setTime(folder / "source/docs", folderTime);
    for (const char* archive : {"docs.zip", "again.zip"}) {
        zipFileSystemItem(fileURL(folder / "source/docs"), fileURL(folder / archive), true,
                          CompressionMethod::deflate);
    }
    EXPECT_EQ(readFileBytes(folder / "again.zip"), readFileBytes(folder / "docs.zip"));
    const auto paths = entryPaths(folder / "docs.zip");
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.back(), "docs/");  // the folder's own entry comes last
    // The rest in byte order, whatever order the folder lists them in: the same tree always
    // gives the same archive.
    EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end() - 1));
    unzipArchiveToDirectory(fileURL(folder / "docs.zip"), fileURL(folder / "dest"));
    expectSameTree(folder / "source", folder / "dest");
}

TEST(ZippingAnItem, NamesEntriesAsTheFolderPrefixAsks) {
    TemporaryDirectory folder;
    writeFileText(folder / "docs/a.txt", "0123456789");
    std::filesystem::create_directories(folder / "empty");
    std::filesystem::create_directory_symlink("docs", folder / "link");  // one item, no prefix
    struct Case {
        std::string source;
        bool prefix;
        std::vector<std::string> entries;
        std::int64_t units;
    } cases[] = {{"docs", false, {"a.txt"}, 10},
                 {"docs", true, {"docs/a.txt", "docs/"}, 11},
                 {"empty", false, {}, 0},
                 {"link", true, {"link"}, 4}};
    int index = 0;
    for (const auto& [source, prefix, entries, units] : cases) {
        SCOPED_TRACE(source + (prefix ? " with prefix" : ""));
        const auto archive = folder / ("out" + std::to_string(index++) + ".zip");
        Progress progress;
        zipFileSystemItem(fileURL(folder / source), fileURL(archive), prefix,
                          CompressionMethod::deflate, &progress);
        EXPECT_EQ(entryPaths(archive), entries);
        EXPECT_EQ(progress.totalUnitCount(), units);
    }
}

}  // namespace
}  // namespace marrowzip

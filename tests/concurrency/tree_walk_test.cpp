// The walk lists folders on several threads ahead of its visits; what the caller sees must be
// what one thread walking alone would give: the same items in the same order, each described.
#include "marrowzip/filesystem/tree_walk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

// Depth first, a folder before its contents, the names of a folder in byte order.
void expectedOrder(const fs::path& folder, const std::string& prefix,
                   std::vector<std::string>& paths) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        paths.push_back(path);
        if (fs::is_directory(fs::symlink_status(folder / name)))
            expectedOrder(folder / name, path, paths);
    }
}

// Wide and deep enough that the listing threads run ahead of the visits: 12 folders of 12
// folders, each with files, links and an empty folder.
void makeTree(const fs::path& root) {
    for (int outer = 0; outer < 12; ++outer) {
        for (int inner = 0; inner < 12; ++inner) {
            const fs::path folder = root / ("d" + std::to_string(outer)) / std::to_string(inner);
            fs::create_directories(folder / "empty");
            for (int file = 0; file < 5; ++file) {
                writeFileBytes(folder / ("f" + std::to_string(file) + ".txt"),
                               textBytes(static_cast<std::size_t>(file * 10), 2));
            }
            fs::create_symlink("f1.txt", folder / "link");
        }
        writeFileBytes(root / ("top" + std::to_string(outer)), textBytes(7, 3));
    }
}

TEST(TreeWalk, VisitsInOneThreadsOrderWithDescriptionsAndStopsCleanly) {
    const TemporaryDirectory folder;
    makeTree(folder.path());
    std::vector<std::string> expected;
    expectedOrder(folder.path(), "", expected);

    std::vector<std::string> visited;
    walkFolderTree(fileURL(folder.path(), true), {}, [&](const WalkedItem& item) {
        visited.push_back(item.path);
        ASSERT_TRUE(item.described) << item.path;
        EXPECT_EQ(item.described->type, describeItem(item.url)->type) << item.path;
        EXPECT_EQ(item.described->uncompressedSize, describeItem(item.url)->uncompressedSize);
    });
    EXPECT_EQ(visited, expected);

    // A folder left out is not walked; the rest keeps its order.
    visited.clear();
    const TreeWalkOptions leavingOut{
        .filter = [](const WalkedItem& item) { return item.path.rfind("d3", 0) != 0; }};
    walkFolderTree(fileURL(folder.path(), true), leavingOut,
                   [&](const WalkedItem& item) { visited.push_back(item.path); });
    std::vector<std::string> kept;
    std::copy_if(expected.begin(), expected.end(), std::back_inserter(kept),
                 [](const std::string& path) { return path.rfind("d3", 0) != 0; });
    EXPECT_EQ(visited, kept);

    // With a prefix every path comes joined to it; the filter (on the listing threads) sees
    // the joined paths, and what it throws ends the walk on the caller's thread.
    visited.clear();
    walkFolderTree(fileURL(folder.path(), true), {.pathPrefix = "top"},
                   [&](WalkedItem& item) { visited.push_back(std::move(item.path)); });
    ASSERT_EQ(visited.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index)
        EXPECT_EQ(visited[index], "top/" + expected[index]);
    const TreeWalkOptions throwing{.filter =
                                       [](const WalkedItem& item) {
                                           if (item.path == "top/d7/3/f2.txt")
                                               throw std::runtime_error("filter");
                                           return true;
                                       },
                                   .pathPrefix = "top"};
    EXPECT_THROW(walkFolderTree(fileURL(folder.path(), true), throwing, [](WalkedItem&) {}),
                 std::runtime_error);

    // A visit that fails ends the walk with its error, however far the listings ran ahead; so
    // does a folder that cannot be listed (one gone since its parent was listed).
    for (const std::size_t failAt : {std::size_t{0}, std::size_t{40}, expected.size() - 1}) {
        std::size_t count = 0;
        EXPECT_THROW(walkFolderTree(fileURL(folder.path(), true), {},
                                    [&](const WalkedItem&) {
                                        if (count++ == failAt) throw std::runtime_error("stop");
                                    }),
                     std::runtime_error);
    }
    const auto removing = [&](const WalkedItem& item) {
        if (item.path == "d5") fs::remove_all(folder / "d5" / "7");
    };
    EXPECT_THROW(walkFolderTree(fileURL(folder.path(), true), {}, removing), Error);
    EXPECT_NO_THROW(walkFolderTree(fileURL(folder.path(), true),
                                   {.passOverUnlistableFolders = true}, removing));
}

}  // namespace
}  // namespace marrowzip::testing

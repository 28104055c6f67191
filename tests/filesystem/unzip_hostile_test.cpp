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

using testing::RawEntry;
using testing::rawFile;
using testing::rawLink;

struct Case {
    std::string title;
    std::vector<RawEntry> entries;
    bool allowLinksOutside = false;
    std::optional<std::error_code> error;
};

// The archive is unpacked into parent/dest; whatever happens, nothing may appear in parent
// beside dest, and nothing may be written through a link to parent.
TEST(UnzippingHostileArchives, KeepsEveryItemInsideTheDestination) {
    testing::TemporaryDirectory folder;
    const auto parent = folder / "parent";
    const std::string absolute = (parent / "absolute-evil.txt").string();
    const Case cases[] = {
        {"parent entry", {rawFile("../evil.txt", "x")}, false, FileError::fileReadInvalidFileName},
        {"absolute entry", {rawFile(absolute, "x")}, false, FileError::fileReadInvalidFileName},
        {"climbing entry",
         {rawFile("a/../../evil.txt", "x")},
         false,
         FileError::fileReadInvalidFileName},
        {"NUL in a name",
         {rawFile(std::string("ok\0/../../evil.txt", 18), "x")},
         false,
         FileError::fileReadInvalidFileName},
        {"link to /etc/passwd",
         {rawLink("passwd", "/etc/passwd")},
         false,
         ArchiveError::uncontainedSymlink},
        {"link out of the tree",
         {rawLink("sub/x", "../../x")},
         false,
         ArchiveError::uncontainedSymlink},
        {"link to the folder, then a path through it",
         {rawLink("l", "."), rawFile("l/../evil.txt", "x")},
         false,
         FileError::fileReadInvalidFileName},
        {"link resolved through an earlier link",
         {rawLink("l2", "."), rawLink("esc", "l2/..")},
         false,
         ArchiveError::uncontainedSymlink},
        {"the same links allowed, then a path through them",
         {rawLink("l2", "."), rawLink("esc", "l2/.."), rawFile("esc/evil.txt", "x")},
         true,
         FileError::fileReadInvalidFileName},
        {"climbing out of a folder that a later link may replace",
         {rawLink("esc", "l2/.."), rawLink("l2", ".")},
         false,
         ArchiveError::uncontainedSymlink},
        {"a file over a link made earlier",
         {rawLink("l", "../victim"), rawFile("l", "x")},
         true,
         FileError::fileWriteFileExists},
        {"links between folders of the tree",
         {rawLink("lib/libz.so", "../lib64/libz.so.1"), rawFile("lib64/libz.so.1", "z"),
          rawLink("up/l", "../lib64"), rawFile("up/l/through.txt", "t"),
          rawFile("a/../b.txt", "b")},
         false,
         std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.title);
        std::filesystem::remove_all(parent);
        std::filesystem::create_directories(parent);
        testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(test.entries));
        const auto dest = parent / "dest";
        try {
            unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                    FileURL::fromPath(dest.string()), false,
                                    test.allowLinksOutside);
            EXPECT_FALSE(test.error);
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), test.error.value_or(std::error_code())) << error.what();
        }
        const std::vector<std::string> onlyDest = {"dest"};
        std::vector<std::string> top;
        for (const auto& item : std::filesystem::directory_iterator(parent)) {
            top.push_back(item.path().filename().string());
        }
        EXPECT_EQ(top, onlyDest);
        if (!test.error) {
            EXPECT_EQ(testing::readFileBytes(dest / "lib/libz.so"), testing::bytesOf("z"));
            EXPECT_EQ(testing::readFileBytes(dest / "lib64/through.txt"), testing::bytesOf("t"));
            EXPECT_EQ(testing::readFileBytes(dest / "b.txt"), testing::bytesOf("b"));
        }
    }
}

// The walk used where the kernel has no openat2 must give the kernel's answers.
TEST(WalkingBeneathAFolder, RefusesWhatLeavesItThroughLinks) {
    testing::TemporaryDirectory folder;
    const auto root = folder / "root";
    std::filesystem::create_directories(root / "sub/deep");
    std::filesystem::create_directory_symlink(".", root / "l2");
    std::filesystem::create_directory_symlink("l2/..", root / "esc");
    std::filesystem::create_directory_symlink("../../sub/deep", root / "sub/deep/back");
    std::filesystem::create_directory_symlink(folder.path(), root / "absolute");
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

// A small folder tree with every kind of item, and the comparison of two trees item by item:
// type, bytes, link text, permissions and modification time at DOS precision; the paths of an
// archive's entries.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "marrowzip/archive/archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip::testing {

// Even seconds, so that the two-second DOS time keeps them exactly.
inline constexpr time_t fileTime = 1700000000;
inline constexpr time_t folderTime = 1600000000;
inline constexpr time_t linkTime = 1500000000;  // a link's own, set without touching its target

inline void setTime(const std::filesystem::path& item, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, item.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << item;
}

inline void makeSampleTree(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    writeFileText(root / "a.txt", "alpha\n");
    writeFileBytes(root / "sub/b.bin", randomBytes(70000));
    writeFileBytes(root / "sub/deeper/text.txt", textBytes(50000));
    writeFileText(root / "sub/run.sh", "#!/bin/sh\n");
    writeFileBytes(root / "empty", {});
    writeFileText(root / "with space café.txt", std::string(3000, 'c'));
    fs::create_directories(root / "emptydir");
    fs::create_symlink("../a.txt", root / "sub/link");
    fs::create_directory_symlink("sub/deeper", root / "folder-link");  // kept as a link
    fs::permissions(root / "sub/b.bin", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(root / "sub/run.sh", fs::perms(0755));
    fs::permissions(root / "sub/deeper", fs::perms(0700));
    for (const auto& path : listTree(root)) {
        const auto status = fs::symlink_status(root / path);
        if (!fs::is_directory(status))
            setTime(root / path, fs::is_symlink(status) ? linkTime : fileTime);
    }
    for (const char* folder : {"sub/deeper", "sub", "emptydir"})
        setTime(root / folder, folderTime);
}

// Info-ZIP unzip leaves the times of links it makes as they are: `linkTimes` false skips them.
inline void expectSameTree(const std::filesystem::path& expected,
                           const std::filesystem::path& actual, bool linkTimes = true) {
    const auto items = listTree(expected);
    ASSERT_EQ(listTree(actual), items);
    for (const auto& item : items) {
        SCOPED_TRACE(item);
        struct stat want {};
        struct stat got {};
        ASSERT_EQ(::lstat((expected / item).c_str(), &want), 0);
        ASSERT_EQ(::lstat((actual / item).c_str(), &got), 0);
        EXPECT_EQ(got.st_mode & S_IFMT, want.st_mode & S_IFMT);
        if (linkTimes || !S_ISLNK(want.st_mode)) {
            EXPECT_EQ(got.st_mtim.tv_sec / 2, want.st_mtim.tv_sec / 2);
        }
        if (S_ISLNK(want.st_mode)) {
            EXPECT_EQ(std::filesystem::read_symlink(actual / item),
                      std::filesystem::read_symlink(expected / item));
            continue;
        }
        EXPECT_EQ(got.st_mode & 07777, want.st_mode & 07777);
        if (S_ISREG(want.st_mode)) {
            EXPECT_EQ(readFileBytes(actual / item), readFileBytes(expected / item));
        }
    }
}

inline std::vector<std::string> entryPaths(const std::filesystem::path& zip) {
    std::vector<std::string> paths;
    for (const Entry& entry : Archive::openFile(fileURL(zip), Archive::AccessMode::read))
        paths.push_back(entry.path());
    return paths;
}

}  // namespace marrowzip::testing

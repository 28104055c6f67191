#include "marrowzip/filesystem/attributes.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "marrowzip/processing/dos_date.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::TemporaryDirectory;

TEST(EntryPermissions, UnixModesAreKeptAndOtherHostsGetTheDefaults) {
    struct Case {
        std::uint32_t attributes;
        std::optional<HostSystem> host;
        EntryType type;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {0100600u << 16, HostSystem::unix, EntryType::file, 0600},
        {0104755u << 16, HostSystem::unix, EntryType::file, 04755},  // set-user-ID kept
        {0040700u << 16, HostSystem::osX, EntryType::directory, 0700},
        {0, HostSystem::unix, EntryType::file, 0644},
        {0, HostSystem::unix, EntryType::directory, 0755},
        {0100600u << 16, HostSystem::msDOS, EntryType::file, 0644},
        {0x10, HostSystem::msDOS, EntryType::directory, 0755},
        {0100600u << 16, HostSystem::code20, EntryType::symlink, 0644},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(permissionsOfEntry(c.attributes, c.host, c.type), c.expected)
            << std::oct << c.attributes;
    }
}

TEST(EntryAttributes, DateComesFromTheCentralRecordAndModeFromAUnixHost) {
    Entry entry;
    entry.centralDirectoryStructure.versionMadeBy = 0x0314;  // Unix
    entry.centralDirectoryStructure.externalFileAttributes = 0100640u << 16;
    entry.centralDirectoryStructure.lastModFileDate = 21092;  // 2021-03-04
    entry.centralDirectoryStructure.lastModFileTime = 10435;  // 05:06:06
    entry.centralDirectoryStructure.fileNameData = testing::bytesOf("a.txt");
    entry.centralDirectoryStructure.fileNameLength = 5;
    const auto attributes = attributesOfEntry(entry);
    EXPECT_EQ(attributes.posixPermissions, 0640);
    EXPECT_EQ(attributes.modificationDate, dateFromDOS(21092, 10435));

    entry.centralDirectoryStructure.versionMadeBy = 0x0A14;  // a host we do not know
    EXPECT_EQ(attributesOfEntry(entry).posixPermissions, defaultFileMode);
}

TEST(ItemQueries, LookAtLinksThemselves) {
    TemporaryDirectory directory;
    std::filesystem::create_directory(directory / "folder");
    std::filesystem::create_directory_symlink("folder", directory / "link-to-folder");
    testing::writeFileText(directory / "file", "0123456789");

    const auto link = FileURL::fromPath((directory / "link-to-folder").string());
    EXPECT_EQ(typeOfItem(link), EntryType::symlink);
    EXPECT_EQ(sizeOfItem(link), 6);  // the length of "folder"
    EXPECT_EQ(typeOfItem(FileURL::fromPath((directory / "folder").string())), EntryType::directory);
    EXPECT_EQ(sizeOfItem(FileURL::fromPath((directory / "file").string())), 10);

    const auto missing = FileURL::fromPath((directory / "missing").string());
    EXPECT_FALSE(isReachable(missing));
    try {
        typeOfItem(missing);
        FAIL() << "no error for a missing item";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), FileError::fileReadNoSuchFile);
        EXPECT_EQ(error.path(), missing.path());
    }
}

TEST(ApplyingAttributes, SetsModeAndDateOfFilesAndTheDateOfLinks) {
    TemporaryDirectory directory;
    testing::writeFileText(directory / "file", "x");
    const auto file = FileURL::fromPath((directory / "file").string());
    applyAttributes({0600, 1614834366.0}, file, false);
    struct stat status {};
    ASSERT_EQ(::lstat(file.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_mtim.tv_sec, 1614834366);

    // A link's mode cannot be changed on Linux: that is no failure, and its date is still set
    // while its access time stays.
    std::filesystem::create_symlink("file", directory / "link");
    const auto link = FileURL::fromPath((directory / "link").string());
    struct stat before {};
    ASSERT_EQ(::lstat(link.path().c_str(), &before), 0);
    applyAttributes({0600, 1000000000.5}, link, true);
    struct stat after {};
    ASSERT_EQ(::lstat(link.path().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    ASSERT_EQ(::lstat(file.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 1614834366) << "the link's target was changed";

    try {
        applyAttributes({0600, std::nullopt}, link, true);
        FAIL() << "no error for a link without a date";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), EntryError::missingModificationDateAttributeError);
    }
}

}  // namespace
}  // namespace marrowzip

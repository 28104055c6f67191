// Attributes of entries and items. Applying them (a link's date set on the link itself) is
// checked by the round trips of whole trees.
#include "marrowzip/filesystem/attributes.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace marrowzip {
namespace {

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
        {0100600u << 16, std::nullopt, EntryType::file, 0644},  // a host we do not know
    };
    for (const auto& c : cases) {
        EXPECT_EQ(permissionsOfEntry(c.attributes, c.host, c.type), c.expected)
            << std::oct << c.attributes;
    }
}

TEST(ItemQueries, LookAtLinksThemselves) {
    testing::TemporaryDirectory directory;
    std::filesystem::create_directory(directory / "folder");
    std::filesystem::create_directory_symlink("folder", directory / "link-to-folder");
    const auto link = FileURL::fromPath((directory / "link-to-folder").string());
    EXPECT_EQ(typeOfItem(link), EntryType::symlink);
    EXPECT_EQ(sizeOfItem(link), 6);  // the length of "folder"

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

}  // namespace
}  // namespace marrowzip

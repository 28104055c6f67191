// Applying attributes (a link's date set on the link itself) and the item queries are checked
// by the round trips of whole trees and of single items.
#include "marrowzip/filesystem/attributes.hpp"

#include <gtest/gtest.h>

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
        {0104755u << 16, HostSystem::unix, EntryType::file, 04755},  // set-user-ID kept
        {0040700u << 16, HostSystem::osX, EntryType::directory, 0700},
        {0, HostSystem::unix, EntryType::directory, 0755},
        {0100600u << 16, HostSystem::msDOS, EntryType::file, 0644},
        {0x10, HostSystem::msDOS, EntryType::directory, 0755},
        {0100600u << 16, std::nullopt, EntryType::file, 0644},  // a host we do not know
    };
    for (const auto& c : cases) {
        EXPECT_EQ(permissionsOfEntry(c.attributes, c.host, c.type), c.expected)
            << std::oct << c.attributes;
    }
}

}  // namespace
}  // namespace marrowzip

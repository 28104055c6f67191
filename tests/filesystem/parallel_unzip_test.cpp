// Files extracted on worker threads: whichever finishes first, the failure reported is the
// first in archive order, every file before it is there, and folders and links still meet the
// tree a serial extraction would have built.
#include <gtest/gtest.h>

#include <filesystem>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;
using testing::RawEntry;

TEST(ParallelUnzipping, ReportsTheFirstFailureInOrderWithEveryFileBeforeIt) {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 60; ++i) {
        // Two damaged files; the later, small one likely fails first on another thread.
        RawEntry entry = testing::rawFile("f" + std::to_string(i),
                                          std::string(i == 30 ? 300000 : 2000, 'a' + i % 26), true);
        if (i == 30 || i == 31) entry.crc = 1;
        entries.push_back(entry);
        if (i == 20) entries.push_back(testing::rawFolder("d/"));
        if (i == 21) entries.push_back(testing::rawLink("l", "d"));
        if (i == 22) entries.push_back(testing::rawFile("l/through-the-link", "x"));
    }
    const testing::TemporaryDirectory folder;
    testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(entries));
    for (int run = 0; run < 5; ++run) {
        const fs::path out = folder / ("out" + std::to_string(run));
        try {
            unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                    FileURL::fromPath(out.string()));
            ADD_FAILURE() << "the damaged archive was extracted";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), ArchiveError::invalidCRC32) << error.what();
            EXPECT_EQ(error.entry(), "f30") << error.what();
        }
        for (int i = 0; i < 30; ++i) {
            EXPECT_EQ(fs::file_size(out / ("f" + std::to_string(i))), 2000u) << i;
        }
        EXPECT_TRUE(fs::is_symlink(out / "l"));
        EXPECT_TRUE(fs::exists(out / "d/through-the-link"));
    }
}

}  // namespace
}  // namespace marrowzip

// A removal replaces the archive file in one step: a reader that opens the path at any moment
// finds a whole archive, the old one or the new one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

TEST(ReplacingAnArchive, LeavesTheOldOrTheNewArchiveAtEveryInstant) {
    constexpr int entryCount = 24;
    TemporaryDirectory folder;
    const auto path = folder / "a.zip";
    const FileURL url = FileURL::fromPath(path.string());
    Archive archive = Archive::openFile(url, Archive::AccessMode::create);
    for (int i = 0; i < entryCount; ++i) {
        appendBytes(archive, "entry" + std::to_string(i), randomBytes(20000, i + 1));
    }

    std::atomic<bool> done{false};
    std::atomic<int> opened{0};
    std::thread reader([&] {
        std::uint64_t lastCount = entryCount;
        while (!done.load()) {
            Archive seen = Archive::openFile(url, Archive::AccessMode::read);
            std::uint64_t listed = 0;
            EntryIterator entries = seen.makeEntryIterator();
            while (entries.next())
                ++listed;
            EXPECT_FALSE(entries.endedEarly());
            EXPECT_EQ(listed, seen.totalNumberOfEntries());
            // Removals only ever take entries away.
            EXPECT_LE(listed, lastCount);
            lastCount = listed;
            opened.fetch_add(1);
        }
    });
    while (opened.load() == 0)
        std::this_thread::yield();
    for (int i = 0; i < entryCount; ++i) {
        archive.removeEntry(*archive.findEntry("entry" + std::to_string(i)));
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(archive.totalNumberOfEntries(), 0U);
    EXPECT_GT(opened.load(), 1);
}

}  // namespace
}  // namespace marrowzip::testing

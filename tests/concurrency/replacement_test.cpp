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
    Archive archive = openArchive(folder / "a.zip");
    for (int i = 0; i < entryCount; ++i)
        appendBytes(archive, "entry" + std::to_string(i), randomBytes(20000, i + 1));

    std::atomic<bool> done{false};
    std::atomic<int> opened{0};
    std::thread reader([&] {
        std::size_t lastCount = entryCount;
        while (!done.load()) {
            Archive seen = openArchive(folder / "a.zip", Archive::AccessMode::read);
            const std::size_t listed = contentsOf(seen).size();  // every entry, whole
            EXPECT_EQ(listed, seen.totalNumberOfEntries());
            EXPECT_LE(listed, lastCount);  // removals only ever take entries away
            lastCount = listed;
            opened.fetch_add(1);
        }
    });
    while (opened.load() == 0)
        std::this_thread::yield();
    for (int i = 0; i < entryCount; ++i)
        archive.removeEntry(*archive.findEntry("entry" + std::to_string(i)));
    done.store(true);
    reader.join();
    EXPECT_EQ(archive.totalNumberOfEntries(), 0U);
    EXPECT_GT(opened.load(), 1);
}

}  // namespace
}  // namespace marrowzip::testing

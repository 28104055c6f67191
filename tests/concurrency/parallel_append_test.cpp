// A parallel bulk append with its workers, a watcher reading the progress and a thread that
// cancels it: the archive is the serial one, or a valid prefix of it after the cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

TEST(ParallelBulkAppendsUnderThreads, MatchTheSerialArchiveOrStopCleanlyWhenCancelled) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", Archive::BulkOptions{1}, CompressionMethod::deflate);
    const Contents expected = contentsOf(folder / "serial.zip");
    const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel);
        const auto path = folder / (cancel ? "cancelled.zip" : "parallel.zip");
        Progress progress(std::ssize(tree.items));
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done.load()) {
                if (cancel && progress.fractionCompleted() > 0.2) progress.cancel();
            }
        });
        const auto error = errorOf([&] {
            Archive archive = openArchive(path);
            Archive::BulkAppend bulk =
                archive.beginBulkAppend(defaultChunkSize, {3, smallWorkerBudget});
            for (const std::string& item : tree.items) {
                archive.appendEntry(item, base, CompressionMethod::deflate, defaultChunkSize,
                                    progress.makeChild(1, 1).get());
            }
            bulk.finish();
        });
        done.store(true);
        watcher.join();
        if (error) {
            EXPECT_TRUE(cancel) << error->what();
            EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
        }
        const Contents contents = contentsOf(path);
        ASSERT_LE(contents.size(), expected.size());  // whole unless cancelled, else a prefix
        EXPECT_TRUE(error || contents.size() == expected.size()) << contents.size();
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(contents[i], expected[i]) << i;
    }
}

}  // namespace
}  // namespace marrowzip::testing

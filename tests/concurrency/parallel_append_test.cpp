// A parallel bulk append with its workers, a watcher reading the progress and a thread that
// cancels it: the archive is the serial one, or a valid prefix of it after the cancellation.
// Its files then come back out on the extraction's workers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

TEST(ParallelBulkAppendsUnderThreads, MatchTheSerialArchiveOrStopCleanlyWhenCancelled) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", Archive::BulkOptions{1}, CompressionMethod::deflate);
    const auto expected = archiveContents(folder / "serial.zip");

    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel);
        const auto path = folder / (cancel ? "cancelled.zip" : "parallel.zip");
        Progress progress(static_cast<std::int64_t>(tree.items.size()));
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done.load()) {
                if (cancel && progress.fractionCompleted() > 0.2) progress.cancel();
            }
        });
        try {
            Archive archive =
                Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
            Archive::BulkAppend bulk =
                archive.beginBulkAppend(defaultChunkSize, {3, smallWorkerBudget});
            const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
            for (const std::string& item : tree.items) {
                archive.appendEntry(item, base, CompressionMethod::deflate, defaultChunkSize,
                                    progress.makeChild(1, 1).get());
            }
            bulk.finish();
        } catch (const Error& error) {
            EXPECT_TRUE(cancel) << error.what();
            EXPECT_EQ(error.code(), ArchiveError::cancelledOperation) << error.what();
        }
        done.store(true);
        watcher.join();
        const auto contents = archiveContents(path);
        ASSERT_LE(contents.size(), expected.size());
        if (!cancel) {
            EXPECT_EQ(contents, expected);
        }
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(contents[i], expected[i]);
    }
}

}  // namespace
}  // namespace marrowzip::testing

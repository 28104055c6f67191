// A parallel bulk append with its workers, a watcher reading the progress, and a failure at the
// 21st item or a cancellation from the watcher's thread: the archive is the serial one, or a
// valid prefix of it with the entries before the failing one and nothing of it; the error names
// the failing entry, whichever later call comes to report it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

TEST(ParallelBulkAppends, MatchTheSerialArchiveOrLeaveAValidPrefixOfIt) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", Archive::BulkOptions{1}, CompressionMethod::deflate);
    const Contents serial = contentsOf(folder / "serial.zip");
    const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
    const std::string shortSource = "/sys/kernel/uevent_seqnum";  // claims 4096 bytes, has a few
    enum class Failure {
        none,
        watcherCancels,
        missingSource,
        shortSource,
        cancelled,
        callerThrows
    };
    const struct {
        Failure failure;
        std::error_code expected;
        std::string named;  // in the error's message
    } cases[] = {
        {Failure::none, {}, ""},
        {Failure::watcherCancels, ArchiveError::cancelledOperation, ""},
        {Failure::missingSource, FileError::fileReadNoSuchFile, "missing"},
        {Failure::shortSource, ArchiveError::invalidEntrySize, "uevent"},
        {Failure::cancelled, ArchiveError::cancelledOperation, ""},
        {Failure::callerThrows, std::make_error_code(std::errc::interrupted), "the caller gave up"},
    };
    constexpr std::size_t before = 20;
    for (const auto& [failure, expected, named] : cases) {
        SCOPED_TRACE(static_cast<int>(failure));
        if (failure == Failure::shortSource && !std::filesystem::exists(shortSource)) continue;
        const auto path = folder / ("a" + std::to_string(static_cast<int>(failure)) + ".zip");
        Progress progress(std::ssize(tree.items));
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done.load()) {
                const double fraction = progress.fractionCompleted();
                if (failure == Failure::watcherCancels && fraction > 0.2) progress.cancel();
            }
        });
        const auto error = errorOf([&] {
            Archive archive = openArchive(path);
            Archive::BulkAppend bulk =
                archive.beginBulkAppend(defaultChunkSize, {3, smallWorkerBudget});
            for (std::size_t i = 0; i < tree.items.size(); ++i) {
                if (i == before && failure == Failure::missingSource) {
                    archive.appendEntry("missing", base);
                } else if (i == before && failure == Failure::shortSource) {
                    archive.appendEntry("uevent", FileURL::fromPath(shortSource));
                } else if (i == before && failure == Failure::cancelled) {
                    progress.cancel();
                } else if (i == before && failure == Failure::callerThrows) {
                    throw Error(std::make_error_code(std::errc::interrupted), "the caller gave up");
                }
                archive.appendEntry(tree.items[i], base, CompressionMethod::deflate,
                                    defaultChunkSize, progress.makeChild(1, 1).get());
            }
            bulk.finish();
        });
        done.store(true);
        watcher.join();
        const std::string reported = error ? error->what() : "no error";
        // The watcher may come too late on a busy machine.
        if (error || failure != Failure::watcherCancels) {
            EXPECT_EQ(error ? error->code() : std::error_code(), expected) << reported;
            EXPECT_NE(reported.find(named), std::string::npos) << reported;
        }

        // Every entry queued before a failure of the caller's own is written on the way out.
        EXPECT_EQ(clientComplaints(path), "");
        const Contents contents = contentsOf(path);
        const bool cancelled = failure == Failure::cancelled || failure == Failure::watcherCancels;
        EXPECT_GE(contents.size(), cancelled                  ? 0
                                   : failure == Failure::none ? serial.size()
                                                              : before);
        ASSERT_LE(contents.size(), failure == Failure::callerThrows ? before : serial.size());
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(contents[i], serial[i]) << i;
    }
}

}  // namespace
}  // namespace marrowzip::testing

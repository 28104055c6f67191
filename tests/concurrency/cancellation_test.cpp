// Operations cancelled from another thread while a third one watches their progress: the append
// is rolled back, the removal changes nothing, the extraction stops, and no thread races another.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

constexpr std::int64_t chunk = 4096;

// Reads the progress over and over until told to stop, as a progress bar does.
class Watcher {
public:
    explicit Watcher(const Progress& progress)
        : thread_([this, &progress] {
              while (!stop_.load())
                  seen_ = std::max(seen_, progress.fractionCompleted());
          }) {}
    ~Watcher() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    double seen_ = 0;
    std::thread thread_;
};

// Cancels the progress from its own thread once `started` is fulfilled, and fulfils `cancelled`.
std::thread canceller(Progress& progress, std::future<void> started,
                      std::promise<void>& cancelled) {
    return std::thread([&progress, &cancelled, started = std::move(started)]() mutable {
        started.wait();
        progress.cancel();
        cancelled.set_value();
    });
}

Archive sampleArchive(const std::filesystem::path& path, int entryCount = 4) {
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    for (int i = 0; i < entryCount; ++i) {
        appendBytes(archive, "entry" + std::to_string(i), randomBytes(64 * 1024, i + 1));
    }
    return archive;
}

TEST(CancellingFromAnotherThread, RollsAnAppendBack) {
    const Bytes data = randomBytes(32 * 1024);
    for (auto method : {CompressionMethod::none, CompressionMethod::deflate}) {
        TemporaryDirectory folder;
        Archive archive = sampleArchive(folder / "a.zip");
        const Bytes before = readFileBytes(folder / "a.zip");
        Progress progress;
        std::promise<void> started;
        std::promise<void> cancelled;
        std::thread other = canceller(progress, started.get_future(), cancelled);
        std::future<void> cancelledFuture = cancelled.get_future();
        int calls = 0;
        std::error_code code;
        {
            const Watcher watcher(progress);
            try {
                archive.appendEntry(
                    "new", EntryType::file, std::ssize(data), sampleDate, std::nullopt, method,
                    chunk, &progress, [&](std::int64_t position, std::int64_t size) {
                        if (++calls == 3) {
                            started.set_value();
                            cancelledFuture.wait();
                        }
                        return Bytes(data.begin() + position, data.begin() + position + size);
                    });
            } catch (const Error& error) {
                code = error.code();
            }
        }
        other.join();
        EXPECT_EQ(code, ArchiveError::cancelledOperation);
        EXPECT_EQ(calls, 3);  // the provider is not asked again once the cancel is seen
        EXPECT_EQ(readFileBytes(folder / "a.zip"), before);
    }
}

TEST(CancellingFromAnotherThread, StopsAnExtractionAtTheNextChunk) {
    TemporaryDirectory folder;
    Archive archive = sampleArchive(folder / "a.zip");
    const Entry entry = *archive.findEntry("entry1");
    Progress progress;
    std::promise<void> started;
    std::promise<void> cancelled;
    std::thread other = canceller(progress, started.get_future(), cancelled);
    std::future<void> cancelledFuture = cancelled.get_future();
    int chunks = 0;
    std::error_code code;
    try {
        const Watcher watcher(progress);
        archive.extractEntry(
            entry,
            [&](ByteView) {
                if (++chunks == 2) {
                    started.set_value();
                    cancelledFuture.wait();
                }
            },
            chunk, false, &progress);
    } catch (const Error& error) {
        code = error.code();
        EXPECT_EQ(error.entry(), "entry1");
    }
    other.join();
    EXPECT_EQ(code, ArchiveError::cancelledOperation);
    EXPECT_EQ(chunks, 2);
}

// Without a hook inside the operation: the other thread cancels as soon as it sees progress. On
// a busy machine the operation may finish first; then it must have finished completely.
TEST(CancellingFromAnotherThread, StopsAnUnzipAndLeavesARemovalUndone) {
    TemporaryDirectory folder;
    Archive archive = sampleArchive(folder / "a.zip", 16);
    const Entry first = *archive.findEntry("entry0");
    const Bytes before = readFileBytes(folder / "a.zip");
    for (const bool removal : {false, true}) {
        SCOPED_TRACE(removal ? "removal" : "unzip");
        Progress progress;
        std::atomic<bool> running{false};
        std::thread other([&progress, &running] {
            running.store(true);
            while (progress.fractionCompleted() == 0)
                std::this_thread::yield();
            progress.cancel();
        });
        while (!running.load())
            std::this_thread::yield();
        std::error_code code;
        try {
            if (removal) {
                archive.removeEntry(first, 256, &progress);
            } else {
                unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                        FileURL::fromPath((folder / "dest").string()), false, false,
                                        &progress);
            }
        } catch (const Error& error) {
            code = error.code();
        }
        progress.setCompletedUnitCount(1);  // releases the other thread if nothing was done
        other.join();
        if (code) {
            EXPECT_EQ(code, ArchiveError::cancelledOperation);
            EXPECT_EQ(readFileBytes(folder / "a.zip"), before);
            // The entries behind the one being extracted are not extracted.
            if (!removal) {
                EXPECT_FALSE(std::filesystem::exists(folder / "dest/entry15"));
            }
        } else if (removal) {
            EXPECT_EQ(archive.totalNumberOfEntries(), 15U);
        } else {
            EXPECT_TRUE(std::filesystem::exists(folder / "dest/entry15"));
        }
        EXPECT_EQ(listTree(folder.path()).front(), "a.zip");  // no temporary folder stays
    }
}

}  // namespace
}  // namespace marrowzip::testing

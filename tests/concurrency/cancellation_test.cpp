// Operations cancelled from another thread while a third one watches their progress: the append
// is rolled back, the removal changes nothing, the extraction stops, and no thread races another.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

constexpr std::int64_t chunk = 4096;

// Reads the progress over and over until told to stop, as a progress bar does; with
// `cancelOnProgress`, cancels it as soon as it shows some.
class Watcher {
public:
    explicit Watcher(Progress& progress, bool cancelOnProgress = false)
        : thread_([this, &progress, cancelOnProgress] {
              while (!stop_.load()) {
                  seen_ = std::max(seen_, progress.fractionCompleted());
                  if (cancelOnProgress && seen_ > 0) progress.cancel();
              }
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

Archive sampleArchive(const std::filesystem::path& path, int entryCount = 4) {
    Archive archive = openArchive(path);
    for (int i = 0; i < entryCount; ++i)
        appendBytes(archive, "entry" + std::to_string(i), randomBytes(64 * 1024, i + 1));
    return archive;
}

// Each operation calls `step` at every chunk it reads or delivers. At the second one another
// thread cancels, and the operation goes on only once that thread is done.
using Operation = std::function<void(Archive&, Progress&, const std::function<void()>& step)>;

TEST(CancellingFromAnotherThread, RollsAnAppendBackAndStopsAnExtractionAtTheNextChunk) {
    const Bytes data = randomBytes(32 * 1024);
    const auto append = [&data](CompressionMethod method) -> Operation {
        return [&data, method](Archive& archive, Progress& progress, const auto& step) {
            archive.appendEntry("new", EntryType::file, std::ssize(data), sampleDate, std::nullopt,
                                method, chunk, &progress,
                                [&](std::int64_t position, std::int64_t size) {
                                    step();
                                    return slice(data, position, size);
                                });
        };
    };
    const Operation extract = [](Archive& archive, Progress& progress, const auto& step) {
        archive.extractEntry(
            *archive.findEntry("entry1"), [&](ByteView) { step(); }, chunk, false, &progress);
    };
    const std::pair<std::string, Operation> operations[] = {
        {"stored append", append(CompressionMethod::none)},
        {"deflated append", append(CompressionMethod::deflate)},
        {"extraction", extract},
    };
    for (const auto& [title, operation] : operations) {
        SCOPED_TRACE(title);
        TemporaryDirectory folder;
        Archive archive = sampleArchive(folder / "a.zip");
        const Bytes before = readFileBytes(folder / "a.zip");
        Progress progress;
        int steps = 0;
        std::optional<Error> error;
        {
            const Watcher watcher(progress);
            error = errorOf([&] {
                operation(archive, progress, [&] {
                    if (++steps == 2) std::thread([&] { progress.cancel(); }).join();
                });
            });
        }
        ASSERT_TRUE(error) << "not cancelled";
        EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
        EXPECT_EQ(error->entry(), title == "extraction" ? "entry1" : "new");
        EXPECT_EQ(steps, 2);  // nothing is read or delivered once the cancel is seen
        EXPECT_EQ(readFileBytes(folder / "a.zip"), before);
    }
}

// Without a hook inside the operation: another thread cancels as soon as it sees progress. On
// a busy machine the operation may finish first; then it must have finished completely.
TEST(CancellingFromAnotherThread, StopsAnUnzipAndLeavesARemovalUndone) {
    TemporaryDirectory folder;
    Archive archive = sampleArchive(folder / "a.zip", 16);
    const Entry first = *archive.findEntry("entry0");
    const Bytes before = readFileBytes(folder / "a.zip");
    for (const bool removal : {false, true}) {
        SCOPED_TRACE(removal ? "removal" : "unzip");
        Progress progress;
        std::optional<Error> error;
        {
            const Watcher canceller(progress, true);
            error = errorOf([&] {
                if (removal) {
                    archive.removeEntry(first, 256, &progress);
                } else {
                    unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                            FileURL::fromPath((folder / "dest").string()), false,
                                            false, &progress);
                }
            });
        }
        if (error) {
            EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
            EXPECT_EQ(readFileBytes(folder / "a.zip"), before);
        }
        // A cancelled unzip leaves out the entries behind the one being extracted.
        if (removal) {
            EXPECT_EQ(archive.totalNumberOfEntries(), error ? 16U : 15U);
        } else {
            EXPECT_EQ(std::filesystem::exists(folder / "dest/entry15"), !error);
        }
        EXPECT_EQ(listTree(folder.path()).front(), "a.zip");  // no temporary folder stays
    }
}

}  // namespace
}  // namespace marrowzip::testing

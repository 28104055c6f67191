// Operations cancelled from another thread while a third one watches their progress: the append
// is rolled back, the extraction and the unzip stop, and no thread races another.
#include <gtest/gtest.h>

#include <thread>

#include "marrowzip/filesystem/unzip_directory.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

constexpr std::int64_t chunk = 4096;

Archive archiveOfEntries(const std::filesystem::path& path, int entryCount) {
    Archive archive = openArchive(path);
    for (int i = 0; i < entryCount; ++i)
        appendBytes(archive, "entry" + std::to_string(i), randomBytes(64 * 1024, i + 1));
    return archive;
}

// Each operation calls `step` at every chunk it reads or delivers. At the second one another
// thread cancels, and the operation goes on only once that thread is done.
TEST(CancellingFromAnotherThread, RollsAnAppendBackAndStopsAnExtractionAtTheNextChunk) {
    const Bytes data = randomBytes(32 * 1024);
    using Operation = std::function<void(Archive&, Progress&, const std::function<void()>& step)>;
    const Operation append = [&data](Archive& archive, Progress& progress, const auto& step) {
        archive.appendEntry("new", EntryType::file, std::ssize(data), sampleDate, std::nullopt,
                            CompressionMethod::deflate, chunk, &progress,
                            [&](std::int64_t position, std::int64_t size) {
                                step();
                                return slice(data, position, size);
                            });
    };
    const Operation extract = [](Archive& archive, Progress& progress, const auto& step) {
        archive.extractEntry(
            *archive.findEntry("entry1"), [&](ByteView) { step(); }, chunk, false, &progress);
    };
    for (const auto& [operation, entry] :
         {std::pair(append, "new"), std::pair(extract, "entry1")}) {
        SCOPED_TRACE(entry);
        TemporaryDirectory folder;
        Archive archive = archiveOfEntries(folder / "a.zip", 4);
        const Bytes before = readFileBytes(folder / "a.zip");
        Progress progress;
        int steps = 0;
        const auto error = watched(progress, 2, [&] {
            operation(archive, progress, [&] {
                if (++steps == 2) std::thread([&] { progress.cancel(); }).join();
            });
        });
        ASSERT_TRUE(error) << "not cancelled";
        EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
        EXPECT_EQ(error->entry(), entry);
        EXPECT_EQ(steps, 2);  // nothing is read or delivered once the cancel is seen
        EXPECT_EQ(readFileBytes(folder / "a.zip"), before);
    }
}

// Without a hook inside the operation: another thread cancels as soon as it sees progress while
// the unzip's workers write. On a busy machine the unzip may finish first; then it must have
// finished completely. (A removal reads the cancel as an append does; its rollback is checked in
// the operations suite.)
TEST(CancellingFromAnotherThread, StopsAParallelUnzipBeforeTheLastEntry) {
    TemporaryDirectory folder;
    archiveOfEntries(folder / "a.zip", 16);
    Progress progress;
    const auto error = watched(progress, 0, [&] {
        unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                FileURL::fromPath((folder / "dest").string()), false, false,
                                &progress);
    });
    if (error) {
        EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
    }
    // A cancelled unzip leaves out the entries behind the one being extracted.
    EXPECT_EQ(std::filesystem::exists(folder / "dest/entry15"), !error);
}

}  // namespace
}  // namespace marrowzip::testing

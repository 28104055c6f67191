#include <gtest/gtest.h>

#include <stdexcept>

#include "marrowzip/common/progress.hpp"
#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

const Archive::BulkOptions serial{1};
const Archive::BulkOptions parallel{4, smallWorkerBudget};

// Workers change who compresses, not what the archive holds nor where: the same entries in the
// same order with the same data, whether compressed whole, in blocks or stored. What compression
// would not shrink is stored, whether it was compressed whole or in blocks.
TEST(ParallelBulkAppends, ListTheSameEntriesAsASerialRunAndStoreWhatWouldNotShrink) {
    const SampleTree tree;
    for (const CompressionMethod method : {CompressionMethod::deflate, CompressionMethod::none}) {
        SCOPED_TRACE(static_cast<int>(method));
        const TemporaryDirectory folder;
        archiveTree(tree, folder / "serial.zip", serial, method);
        archiveTree(tree, folder / "parallel.zip", parallel, method);
        const Contents expected = contentsOf(folder / "serial.zip");
        ASSERT_EQ(expected.size(), tree.items.size());
        EXPECT_EQ(contentsOf(folder / "parallel.zip"), expected);
        EXPECT_EQ(clientComplaints(folder / "parallel.zip"), "");
        if (method == CompressionMethod::none) {
            EXPECT_EQ(readFileBytes(folder / "parallel.zip"), readFileBytes(folder / "serial.zip"));
            continue;
        }
        Archive reader = openArchive(folder / "parallel.zip", Archive::AccessMode::read);
        for (const std::string name : {"d/noise.bin", "big.bin", "last", "big.log"}) {
            const Entry entry = *reader.findEntry(name);
            const int stored = name.ends_with(".bin") ? 0 : 8;
            EXPECT_EQ(entry.centralDirectoryStructure.compressionMethod, stored) << name;
            EXPECT_LE(entry.compressedSize(), entry.uncompressedSize()) << name;
        }
    }
}

// Where a parallel run stops, the archive holds the entries before the failing one and nothing
// of it; the error names it, whichever later call comes to report it.
TEST(FailedParallelBulkAppends, LeaveAValidArchiveWithTheEntriesBeforeTheFailingOne) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", serial, CompressionMethod::deflate);
    const Contents serialContents = contentsOf(folder / "serial.zip");
    const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
    const std::string shortSource = "/sys/kernel/uevent_seqnum";  // claims 4096 bytes, has a few
    enum class Failure { missingSource, sourceShorterThanItsSize, cancelled, callerThrows };
    const struct {
        Failure failure;
        std::error_code expected;
        std::string named;  // in the error's message
    } cases[] = {
        {Failure::missingSource, FileError::fileReadNoSuchFile, "missing"},
        {Failure::sourceShorterThanItsSize, ArchiveError::invalidEntrySize, "uevent"},
        {Failure::cancelled, ArchiveError::cancelledOperation, ""},
        {Failure::callerThrows, {}, "the caller gave up"},
    };
    constexpr std::size_t before = 20;
    for (const auto& [failure, expected, named] : cases) {
        SCOPED_TRACE(static_cast<int>(failure));
        if (failure == Failure::sourceShorterThanItsSize && !std::filesystem::exists(shortSource))
            continue;
        const auto path = folder / "a.zip";
        std::filesystem::remove(path);
        Progress progress;
        std::string reported;
        try {
            Archive archive = openArchive(path);
            Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, parallel);
            for (std::size_t i = 0; i < tree.items.size(); ++i) {
                if (i == before && failure == Failure::missingSource) {
                    archive.appendEntry("missing", base);
                } else if (i == before && failure == Failure::sourceShorterThanItsSize) {
                    archive.appendEntry("uevent", FileURL::fromPath(shortSource));
                } else if (i == before && failure == Failure::cancelled) {
                    progress.cancel();
                } else if (i == before && failure == Failure::callerThrows) {
                    throw std::runtime_error("the caller gave up");
                }
                archive.appendEntry(tree.items[i], base, CompressionMethod::deflate,
                                    defaultChunkSize, progress.makeChild(1, 1).get());
            }
            bulk.finish();
            ADD_FAILURE() << "the bulk append succeeded";
        } catch (const Error& error) {
            reported = error.what();
            EXPECT_EQ(error.code(), expected) << reported;
        } catch (const std::runtime_error& error) {
            reported = error.what();
            EXPECT_EQ(failure, Failure::callerThrows);
        }
        EXPECT_NE(reported.find(named), std::string::npos) << reported;

        // A valid archive whose entries are a prefix of the serial one's: every entry queued
        // before a failure of the caller's own is written on the way out.
        EXPECT_EQ(clientComplaints(path), "");
        const Contents contents = contentsOf(path);
        EXPECT_GE(contents.size(), failure == Failure::cancelled ? 0 : before);
        ASSERT_LE(contents.size(), failure == Failure::callerThrows ? before : tree.items.size());
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(contents[i], serialContents[i]) << i;
    }
}

}  // namespace
}  // namespace marrowzip::testing

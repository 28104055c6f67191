#include <gtest/gtest.h>

#include <stdexcept>

#include "marrowzip/common/progress.hpp"
#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

const Archive::BulkOptions serial{1};
const Archive::BulkOptions parallel{4, smallWorkerBudget};

// Workers change who compresses, not what the archive holds nor where: the same entries in the
// same order with the same data, whether compressed whole, in blocks or stored.
TEST(ParallelBulkAppends, ListTheSameEntriesWithTheSameDataAsASerialRun) {
    const SampleTree tree;
    for (const CompressionMethod method : {CompressionMethod::deflate, CompressionMethod::none}) {
        SCOPED_TRACE(static_cast<int>(method));
        const TemporaryDirectory folder;
        archiveTree(tree, folder / "serial.zip", serial, method);
        archiveTree(tree, folder / "parallel.zip", parallel, method);
        const auto expected = archiveContents(folder / "serial.zip");
        EXPECT_EQ(archiveContents(folder / "parallel.zip"), expected);
        ASSERT_EQ(expected.size(), tree.items.size());
        EXPECT_EQ(clientComplaints(folder / "parallel.zip"), "");
        if (method == CompressionMethod::none) {
            EXPECT_EQ(readFileBytes(folder / "parallel.zip"), readFileBytes(folder / "serial.zip"));
        }
    }
}

// Data that compression would not shrink is stored, whether it was compressed whole or in
// blocks; what shrinks stays compressed.
TEST(ParallelBulkAppends, StoreWhatCompressionWouldNotShrink) {
    const TemporaryDirectory folder;
    const std::pair<std::string, Bytes> files[] = {{"random-small", randomBytes(100000, 1)},
                                                   {"random-large", randomBytes(3 << 20, 2)},
                                                   {"text-large", textBytes(3 << 20, 3)}};
    fs::create_directory(folder / "in");
    for (const auto& [name, bytes] : files)
        writeFileBytes(folder / "in" / name, bytes);
    const fs::path path = folder / "a.zip";
    {
        Archive archive =
            Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
        Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, parallel);
        for (const auto& [name, bytes] : files) {
            archive.appendEntry(name,
                                Archive::RelativeTo{FileURL::fromPath((folder / "in").string())},
                                CompressionMethod::deflate);
        }
        bulk.finish();
    }
    EXPECT_EQ(clientComplaints(path), "");
    Archive reader = Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);
    std::size_t index = 0;
    for (const Entry& entry : reader) {
        const auto& [name, bytes] = files[index++];
        EXPECT_EQ(entry.path(), name);
        EXPECT_EQ(entryBytes(reader, entry), bytes) << name;
        const bool random = name.starts_with("random");
        EXPECT_EQ(entry.centralDirectoryStructure.compressionMethod, random ? 0 : 8) << name;
        EXPECT_LE(entry.compressedSize(), entry.uncompressedSize()) << name;
    }
    EXPECT_EQ(index, std::size(files));
}

// Where a parallel run stops, the archive holds the entries before the failing one and nothing
// of it; the error names it, whichever later call comes to report it.
TEST(FailedParallelBulkAppends, LeaveAValidArchiveWithTheEntriesBeforeTheFailingOne) {
    const SampleTree tree;
    enum class Failure { missingSource, sourceShorterThanItsSize, cancelled, callerThrows };
    for (const Failure failure : {Failure::missingSource, Failure::sourceShorterThanItsSize,
                                  Failure::cancelled, Failure::callerThrows}) {
        SCOPED_TRACE(static_cast<int>(failure));
        // A sysfs file claims 4096 bytes and delivers a few.
        const fs::path shortSource = "/sys/kernel/uevent_seqnum";
        if (failure == Failure::sourceShorterThanItsSize && !fs::exists(shortSource)) continue;
        const TemporaryDirectory folder;
        const fs::path path = folder / "a.zip";
        const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
        constexpr std::size_t before = 20;
        Progress progress;
        std::string reported;
        try {
            Archive archive =
                Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
            Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, parallel);
            for (std::size_t i = 0; i < before; ++i) {
                archive.appendEntry(tree.items[i], base, CompressionMethod::deflate,
                                    defaultChunkSize, progress.makeChild(1, 1).get());
            }
            switch (failure) {
                case Failure::missingSource:
                    archive.appendEntry("missing", base);
                    break;
                case Failure::sourceShorterThanItsSize:
                    archive.appendEntry("uevent", FileURL::fromPath(shortSource.string()));
                    break;
                case Failure::cancelled:
                    progress.cancel();
                    break;
                case Failure::callerThrows:
                    throw std::runtime_error("the caller gave up");
            }
            for (std::size_t i = before; i < tree.items.size(); ++i) {
                archive.appendEntry(tree.items[i], base, CompressionMethod::deflate,
                                    defaultChunkSize, progress.makeChild(1, 1).get());
            }
            bulk.finish();
            ADD_FAILURE() << "the bulk append succeeded";
        } catch (const Error& error) {
            reported = error.what();
            const std::error_code expected[] = {FileError::fileReadNoSuchFile,
                                                ArchiveError::invalidEntrySize,
                                                ArchiveError::cancelledOperation};
            EXPECT_EQ(error.code(), expected[static_cast<int>(failure)]) << reported;
        } catch (const std::runtime_error& error) {
            reported = error.what();
            EXPECT_EQ(failure, Failure::callerThrows);
        }
        SCOPED_TRACE(reported);
        if (failure == Failure::missingSource) {
            EXPECT_NE(reported.find("missing"), std::string::npos);
        }
        if (failure == Failure::sourceShorterThanItsSize) {
            EXPECT_NE(reported.find("uevent"), std::string::npos);
        }

        // A valid archive whose entries are a prefix of the tree's and hold the right bytes:
        // every entry queued before a failure of the caller's own is written on the way out.
        EXPECT_EQ(clientComplaints(path), "");
        const auto contents = archiveContents(path);
        if (failure == Failure::callerThrows) {
            EXPECT_EQ(contents.size(), before);
        } else if (failure != Failure::cancelled) {
            EXPECT_GE(contents.size(), before);
        }
        ASSERT_LE(contents.size(), tree.items.size());
        for (std::size_t i = 0; i < contents.size(); ++i) {
            const std::string& item = tree.items[i];
            EXPECT_EQ(contents[i].first.substr(0, item.size()), item);
            if (fs::is_regular_file(fs::symlink_status(tree.root / item))) {
                EXPECT_EQ(contents[i].second, readFileBytes(tree.root / item)) << item;
            }
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

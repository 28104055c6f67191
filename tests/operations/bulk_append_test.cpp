#include <gtest/gtest.h>

#include <stdexcept>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

Contents expectedContents(int bulkEntries) {
    Contents result{{"one", textBytes(30000)}, {"two", randomBytes(9000)}};  // the sample's
    for (int i = 0; i < bulkEntries; ++i)
        result.emplace_back("bulk" + std::to_string(i), textBytes(i * 7000, i));
    return result;
}

void appendBulkEntry(Archive& archive, int i) {
    appendBytes(archive, "bulk" + std::to_string(i), textBytes(i * 7000, i),
                i % 2 ? CompressionMethod::deflate : CompressionMethod::none);
}

// Whatever stops an entry in the middle of a bulk append, the file holds the entries before it,
// with their directory, when the error arrives; the bulk append goes on after it.
TEST(FailedBulkAppends, LeaveAValidArchiveWithTheEntriesBeforeTheFailingOne) {
    enum class Failure { providerThrows, missingSource, cancelled, shortChunk };
    const std::pair<Failure, std::error_code> cases[] = {
        {Failure::providerThrows, {}},
        {Failure::missingSource, FileError::fileReadNoSuchFile},
        {Failure::cancelled, ArchiveError::cancelledOperation},
        {Failure::shortChunk, ArchiveError::invalidEntrySize},
    };
    const Bytes data = randomBytes(5 * 4096);
    for (bool inMemory : {false, true}) {
        for (const auto& [failure, expected] : cases) {
            SCOPED_TRACE(::testing::Message() << inMemory << static_cast<int>(failure));
            SampleArchive fixture(inMemory);
            Archive& archive = *fixture.archive;
            Archive::BulkAppend bulk = archive.beginBulkAppend();
            for (int i = 0; i < 3; ++i)
                appendBulkEntry(archive, i);

            Progress progress;
            if (failure == Failure::cancelled) progress.cancel();  // checked before each read
            auto provider = [&](std::int64_t position, std::int64_t size) {
                if (failure == Failure::providerThrows) throw std::runtime_error("gone");
                Bytes chunk = slice(data, position, size);
                if (failure == Failure::shortChunk) chunk.pop_back();
                return chunk;
            };
            try {
                if (failure == Failure::missingSource) {
                    archive.appendEntry("missing",
                                        FileURL::fromPath((fixture.folder / "missing").string()));
                } else {
                    archive.appendEntry("failing", EntryType::file, std::ssize(data), sampleDate,
                                        std::nullopt, CompressionMethod::deflate, 4096, &progress,
                                        provider);
                }
                ADD_FAILURE() << "the append succeeded";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), expected) << error.what();
            } catch (const std::runtime_error&) {
                EXPECT_FALSE(expected);
            }
            EXPECT_TRUE(bulk.isOpen());
            EXPECT_EQ(fixture.contents(), expectedContents(3));
            EXPECT_EQ(fixture.complaints(), "");

            appendBulkEntry(archive, 3);
            bulk.finish();
            EXPECT_FALSE(archive.isBulkAppendOpen());
            EXPECT_EQ(fixture.contents(), expectedContents(4));
        }
    }
}

// Every way out of a bulk append other than finish() writes the directory too.
TEST(BulkAppendEnds, WriteTheDirectoryOnUnwindingOnMovesAndOnTheArchivesDestruction) {
    enum class Ending { unwinding, handleMovedAway, archiveMoved, archiveDestroyed };
    for (auto ending : {Ending::unwinding, Ending::handleMovedAway, Ending::archiveMoved,
                        Ending::archiveDestroyed}) {
        SCOPED_TRACE(static_cast<int>(ending));
        SampleArchive fixture;
        try {
            Archive::BulkAppend bulk = fixture.archive->beginBulkAppend();
            for (int i = 0; i < 2; ++i)
                appendBulkEntry(*fixture.archive, i);
            switch (ending) {
                case Ending::unwinding:
                    throw std::runtime_error("the caller's own failure");
                case Ending::handleMovedAway: {
                    Archive::BulkAppend moved = std::move(bulk);
                    EXPECT_TRUE(moved.isOpen());
                    break;  // its destruction ends the run
                }
                case Ending::archiveMoved: {
                    Archive moved = std::move(*fixture.archive);
                    EXPECT_FALSE(bulk.isOpen());
                    EXPECT_FALSE(moved.isBulkAppendOpen());
                    fixture.archive.emplace(std::move(moved));
                    break;
                }
                case Ending::archiveDestroyed:
                    fixture.archive.reset();
                    EXPECT_FALSE(bulk.isOpen());
                    break;
            }
            bulk.finish();  // after any of these endings: nothing left to write, no error
        } catch (const std::runtime_error&) {
            EXPECT_EQ(ending, Ending::unwinding);
        }
        if (!fixture.archive)
            fixture.archive.emplace(openArchive(fixture.path, Archive::AccessMode::update));
        EXPECT_EQ(fixture.contents(), expectedContents(2));
        EXPECT_EQ(fixture.complaints(), "");
        appendBulkEntry(*fixture.archive, 2);  // the archive's state follows the file
        EXPECT_EQ(fixture.contents(), expectedContents(3));
    }
}

TEST(OpenBulkAppends, RefuseListingRemovalAndASecondRunButExtractEarlierEntries) {
    SampleArchive fixture;
    Archive& archive = *fixture.archive;
    const Entry one = *archive.findEntry("one");
    Archive::BulkAppend bulk = archive.beginBulkAppend();
    appendBulkEntry(archive, 0);
    EXPECT_THROW(archive.findEntry("one"), Error);
    EXPECT_THROW(archive.removeEntry(one), Error);
    EXPECT_THROW(archive.beginBulkAppend(), Error);
    EXPECT_EQ(entryBytes(archive, one), textBytes(30000));
    appendBulkEntry(archive, 1);
    bulk.finish();
    EXPECT_EQ(fixture.contents(), expectedContents(2));
    Archive reader = openArchive(fixture.path, Archive::AccessMode::read);
    EXPECT_THROW(reader.beginBulkAppend(), Error);
}

// A directory that does not fit on the disk any more cannot keep the bulk's entries: they go,
// and the archive is the one from before the bulk append, not a file without end records.
TEST(FailedBulkAppends, AFullDiskAtTheEndLeavesTheArchiveAsBeforeTheRun) {
    SampleArchive fixture;
    const Bytes before = fixture.bytes();
    Archive::BulkAppend bulk = fixture.archive->beginBulkAppend();
    for (int i = 0; i < 3; ++i)
        appendBytes(*fixture.archive, "entry" + std::to_string(i), randomBytes(1000 - 40, i));
    // The data fits, not the directory.
    EXPECT_EQ(codeOnAFullDisk(before.size() + 3 * 1000 + 60, [&] { bulk.finish(); }),
              DataError::unwritableFile);
    EXPECT_EQ(readFileBytes(fixture.path), before);
    appendBulkEntry(*fixture.archive, 0);
    EXPECT_EQ(fixture.contents(), expectedContents(1));
}

}  // namespace
}  // namespace marrowzip::testing

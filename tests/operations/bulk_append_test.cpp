#include <gtest/gtest.h>

#include <stdexcept>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

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
                appendNumbered(*fixture.archive, i);
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
        EXPECT_EQ(fixture.contents(), sampleContents(2));
        EXPECT_EQ(fixture.complaints(), "");
        appendNumbered(*fixture.archive, 2);  // the archive's state follows the file
        EXPECT_EQ(fixture.contents(), sampleContents(3));
    }
}

TEST(OpenBulkAppends, RefuseListingRemovalAndASecondRunButExtractEarlierEntries) {
    SampleArchive fixture;
    Archive& archive = *fixture.archive;
    const Entry one = *archive.findEntry("one");
    Archive::BulkAppend bulk = archive.beginBulkAppend();
    appendNumbered(archive, 0);
    EXPECT_THROW(archive.findEntry("one"), Error);
    EXPECT_THROW(archive.removeEntry(one), Error);
    EXPECT_THROW(archive.beginBulkAppend(), Error);
    EXPECT_EQ(entryBytes(archive, one), textBytes(30000));
    appendNumbered(archive, 1);
    bulk.finish();
    EXPECT_EQ(fixture.contents(), sampleContents(2));
    Archive reader = openArchive(fixture.path, Archive::AccessMode::read);
    EXPECT_THROW(reader.beginBulkAppend(), Error);
}

}  // namespace
}  // namespace marrowzip::testing

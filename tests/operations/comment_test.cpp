// The archive comment: written behind the entries' directory, read back by this engine and by
// the real clients, replaced by a shorter one without leftovers, refused when it cannot be kept.
#include <gtest/gtest.h>

#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

// Refusals (a read-only archive, a comment too long or holding the end record's signature)
// leave the archive as it was.
TEST(ArchiveComment, IsWrittenReplacedAndReadBackOrRefusedWithoutAChange) {
    TemporaryDirectory folder;
    const fs::path path = folder / "a.zip";
    Archive archive = openArchive(path);
    appendBytes(archive, "a.txt", textBytes(1000));
    archive.setComment("a long first comment");
    appendBytes(archive, "b.txt", textBytes(10));  // an append keeps it
    archive.setComment("short");
    EXPECT_EQ(archive.comment(), "short");
    const Archive reopened = openArchive(path, Archive::AccessMode::read);
    EXPECT_EQ(reopened.comment(), "short");
    EXPECT_EQ(reopened.totalNumberOfEntries(), 2u);
    EXPECT_EQ(clientComplaints(path), "");
    // Nothing of the longer comment is left behind the end record.
    const Bytes before = readFileBytes(path);
    EXPECT_EQ(std::string(before.end() - 5, before.end()), "short");

    Archive readOnly = openArchive(path, Archive::AccessMode::read);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { readOnly.setComment("x"); }, ""},
        {[&] { archive.setComment(std::string(65536, 'x')); }, "longer than 65535"},
        {[&] { archive.setComment(std::string("PK\x05\x06", 4)); }, "signature"},
    };
    for (const auto& [change, detail] : cases) {
        const auto error = errorOf(change);
        ASSERT_TRUE(error) << detail;
        EXPECT_EQ(error->code(), ArchiveError::unwritableArchive);
        EXPECT_NE(error->detail().find(detail), std::string::npos) << error->what();
    }
    EXPECT_EQ(readFileBytes(path), before);
    archive.setComment(std::string(65535, 'x'));  // the longest fits
    EXPECT_EQ(openArchive(path, Archive::AccessMode::read).comment().size(), 65535u);
}

}  // namespace
}  // namespace marrowzip::testing

#include <gtest/gtest.h>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

// The entries, once their local records are found back to back from offset 0.
Contents packedContents(Archive& archive) {
    std::uint64_t offset = 0;
    for (const Entry& entry : archive) {
        EXPECT_EQ(entry.localHeaderOffset(), offset) << entry.path();
        offset += entry.localRecordLength();
    }
    EXPECT_EQ(archive.offsetToStartOfCentralDirectory(), offset);
    return contentsOf(archive);
}

TEST(RemoveEntry, TakesOutTheFirstTheLastAndTheOnlyEntry) {
    for (const bool inMemory : {false, true}) {
        SCOPED_TRACE(inMemory);
        SampleArchive sample(inMemory);
        Archive& archive = *sample.archive;
        appendNumbered(archive, 0);  // empty
        if (!inMemory) fs::permissions(sample.path, static_cast<fs::perms>(0640));
        Contents expected = packedContents(archive);
        for (const std::string name : {"one", "bulk0", "two"}) {  // the first, the last, the only
            archive.removeEntry(*archive.findEntry(name));
            std::erase_if(expected, [&](const auto& entry) { return entry.first == name; });
            EXPECT_EQ(packedContents(archive), expected) << name;
            EXPECT_EQ(expected.empty() ? "" : sample.complaints(), "");
            if (!inMemory) {
                EXPECT_EQ(fs::status(sample.path).permissions(), static_cast<fs::perms>(0640));
                EXPECT_EQ(listTree(sample.folder.path()), std::vector<std::string>{"a.zip"});
            }
        }
        EXPECT_EQ(sample.bytes().size(), 22u);  // the end record alone
        appendBytes(archive, "later", bytesOf("still writable"));
        EXPECT_EQ(sample.contents(), (Contents{{"later", bytesOf("still writable")}}));
        EXPECT_EQ(sample.complaints(), "");
    }
}

TEST(RemoveEntry, TakesTheDataDescriptorAlong) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "a", textBytes(3000));
    writeFileBytes(folder / "b", bytesOf("bee\n"));
    // Writing to a pipe, zip cannot go back to its headers and puts descriptors behind the data.
    const auto made =
        runCommand("cd " + shellQuote(folder.path().string()) + " && zip -q - a b | cat > f.zip");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const fs::path path = folder / "f.zip";
    Archive archive = openArchive(path, Archive::AccessMode::update);
    const Entry first = *archive.findEntry("a");
    ASSERT_TRUE(first.dataDescriptor || first.zip64DataDescriptor);
    archive.removeEntry(first);
    // "b" now starts at offset 0: nothing of "a" stays in front of it.
    EXPECT_EQ(packedContents(archive), (Contents{{"b", bytesOf("bee\n")}}));
    EXPECT_EQ(clientComplaints(path), "");
}

TEST(RemoveEntry, RefusedOrCancelledLeavesTheArchiveAndFolderAsTheyWere) {
    SampleArchive sample;
    Archive& archive = *sample.archive;
    Archive other = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(other, "two", bytesOf("another two"));
    Archive readOnly = openArchive(sample.path, Archive::AccessMode::read);
    const Bytes before = sample.bytes();
    Progress cancelled;
    cancelled.cancel();
    const std::tuple<Archive*, Entry, Progress*, ArchiveError> cases[] = {
        {&archive, *other.findEntry("two"), nullptr, ArchiveError::invalidEntryPath},
        {&archive, *archive.findEntry("one"), &cancelled, ArchiveError::cancelledOperation},
        {&readOnly, *archive.findEntry("one"), nullptr, ArchiveError::unwritableArchive},
    };
    for (const auto& [from, entry, progress, expected] : cases) {
        const auto error = errorOf([&] { from->removeEntry(entry, defaultChunkSize, progress); });
        ASSERT_TRUE(error) << "removed " << entry.path();
        EXPECT_EQ(error->code(), expected) << error->what();
        EXPECT_EQ(sample.bytes(), before);
        EXPECT_EQ(listTree(sample.folder.path()), std::vector<std::string>{"a.zip"});
    }
}

}  // namespace
}  // namespace marrowzip::testing

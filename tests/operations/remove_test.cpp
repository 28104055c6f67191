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

TEST(RemoveEntry, TakesOutTheFirstTheLastOrTheOnlyEntry) {
    const Contents contents = {
        {"first.txt", textBytes(50000)}, {"middle.bin", randomBytes(20000)}, {"last", {}}};
    const std::pair<std::size_t, std::size_t> cases[] = {{3, 0}, {3, 2}, {1, 0}};  // count, removed
    for (bool inMemory : {false, true}) {
        for (const auto& [count, removed] : cases) {
            SCOPED_TRACE(::testing::Message() << inMemory << count << removed);
            TemporaryDirectory folder;
            const fs::path path = folder / "a.zip";
            Archive archive =
                inMemory ? Archive::openMemory({}, Archive::AccessMode::create) : openArchive(path);
            for (std::size_t i = 0; i < count; ++i) {
                appendBytes(archive, contents[i].first, contents[i].second,
                            i == 0 ? CompressionMethod::deflate : CompressionMethod::none);
            }
            if (!inMemory) fs::permissions(path, static_cast<fs::perms>(0640));
            Contents expected = packedContents(archive);
            archive.removeEntry(*archive.findEntry(expected[removed].first));
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(removed));

            EXPECT_EQ(packedContents(archive), expected);
            const std::uint64_t size = inMemory ? archive.data()->size() : fs::file_size(path);
            EXPECT_EQ(size == 22, expected.empty());
            if (!inMemory) {
                EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640));
                EXPECT_EQ(listTree(folder.path()), std::vector<std::string>{"a.zip"});
            }
            appendBytes(archive, "later", bytesOf("still writable"));
            EXPECT_EQ(archive.totalNumberOfEntries(), expected.size() + 1);
            EXPECT_EQ(inMemory ? "" : clientComplaints(path), "");
        }
    }
}

TEST(RemoveEntry, ReplacesTheArchiveALinkLeadsToAndKeepsTheLink) {
    TemporaryDirectory folder;
    fs::create_directory(folder / "real");
    {
        Archive archive = openArchive(folder / "real/a.zip");
        appendBytes(archive, "keep", bytesOf("kept"));
        appendBytes(archive, "drop", bytesOf("dropped"));
    }
    fs::create_symlink(folder / "real/a.zip", folder / "link.zip");
    Archive archive = openArchive(folder / "link.zip", Archive::AccessMode::update);
    archive.removeEntry(*archive.findEntry("drop"));
    EXPECT_TRUE(fs::is_symlink(folder / "link.zip"));
    EXPECT_EQ(contentsOf(folder / "real/a.zip"), (Contents{{"keep", bytesOf("kept")}}));
    EXPECT_EQ(listTree(folder / "real"), std::vector<std::string>{"a.zip"});
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
    const auto sizeBefore = fs::file_size(path);
    Archive archive = openArchive(path, Archive::AccessMode::update);
    const Entry first = *archive.findEntry("a");
    ASSERT_TRUE(first.dataDescriptor || first.zip64DataDescriptor);
    archive.removeEntry(first);

    const auto& central = first.centralDirectoryStructure;
    EXPECT_EQ(fs::file_size(path), sizeBefore - first.localRecordLength() - 46 -
                                       central.fileNameLength - central.extraFieldLength);
    EXPECT_EQ(packedContents(archive), (Contents{{"b", bytesOf("bee\n")}}));
    EXPECT_EQ(clientComplaints(path), "");
}

TEST(RemoveEntry, RefusedOrCancelledLeavesTheArchiveAndFolderAsTheyWere) {
    TemporaryDirectory folder;
    const fs::path path = folder / "a.zip";
    Archive archive = openArchive(path);
    appendBytes(archive, "one", textBytes(100000));
    appendBytes(archive, "two", bytesOf("two"));
    Archive other = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(other, "two", bytesOf("another two"));
    Archive readOnly = openArchive(path, Archive::AccessMode::read);
    const Bytes before = readFileBytes(path);
    Progress cancelled;
    cancelled.cancel();

    const struct {
        Archive* archive;
        Entry entry;
        Progress* progress;
        ArchiveError expected;
    } cases[] = {
        {&archive, *other.findEntry("two"), nullptr, ArchiveError::invalidEntryPath},
        {&archive, *archive.findEntry("one"), &cancelled, ArchiveError::cancelledOperation},
        {&readOnly, *archive.findEntry("one"), nullptr, ArchiveError::unwritableArchive},
    };
    for (const auto& c : cases) {
        const auto error =
            errorOf([&] { c.archive->removeEntry(c.entry, defaultChunkSize, c.progress); });
        ASSERT_TRUE(error) << "removed " << c.entry.path();
        EXPECT_EQ(error->code(), c.expected) << error->what();
        EXPECT_EQ(readFileBytes(path), before);
        EXPECT_EQ(listTree(folder.path()), std::vector<std::string>{"a.zip"});
    }
}

}  // namespace
}  // namespace marrowzip::testing

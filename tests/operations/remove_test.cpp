#include <gtest/gtest.h>

#include "marrowzip/common/progress.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

std::vector<Entry> entriesOf(const Archive& archive) {
    return {archive.begin(), archive.end()};
}

// Local records back to back from offset 0, and the central directory right behind them.
void expectContiguous(const Archive& archive) {
    std::uint64_t offset = 0;
    for (const Entry& entry : archive) {
        EXPECT_EQ(entry.localHeaderOffset(), offset) << entry.path();
        offset += entry.localRecordLength();
    }
    EXPECT_EQ(archive.offsetToStartOfCentralDirectory(), offset);
}

TEST(RemoveEntry, TakesOutTheFirstTheLastOrTheOnlyEntry) {
    const std::vector<std::pair<std::string, Bytes>> contents = {
        {"first.txt", textBytes(50000)}, {"middle.bin", randomBytes(20000)}, {"last", {}}};
    const struct {
        std::size_t entryCount;
        std::size_t removed;
    } cases[] = {{3, 0}, {3, 2}, {1, 0}};
    for (bool inMemory : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "memory " << inMemory << ", " << c.entryCount
                                              << " entries, removing " << c.removed);
            TemporaryDirectory folder;
            const fs::path path = folder / "a.zip";
            Archive archive = inMemory ? Archive::openMemory({}, Archive::AccessMode::create)
                                       : Archive::openFile(FileURL::fromPath(path.string()),
                                                           Archive::AccessMode::create);
            for (std::size_t i = 0; i < c.entryCount; ++i) {
                appendBytes(archive, contents[i].first, contents[i].second,
                            i % 2 == 0 ? CompressionMethod::deflate : CompressionMethod::none);
            }
            if (!inMemory) fs::permissions(path, static_cast<fs::perms>(0640));

            archive.removeEntry(entriesOf(archive)[c.removed]);

            std::vector<std::string> expected;
            for (std::size_t i = 0; i < c.entryCount; ++i) {
                if (i != c.removed) expected.push_back(contents[i].first);
            }
            std::vector<std::string> names;
            for (const Entry& entry : archive) {
                const std::size_t original =
                    names.size() < c.removed ? names.size() : names.size() + 1;
                names.push_back(entry.path());
                EXPECT_EQ(entryBytes(archive, entry), contents[original].second);
            }
            EXPECT_EQ(names, expected);
            expectContiguous(archive);
            if (expected.empty()) {
                EXPECT_EQ(inMemory ? archive.data()->size() : fs::file_size(path), 22u);
            }
            if (!inMemory) {
                EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640));
                EXPECT_EQ(listTree(folder.path()), std::vector<std::string>{"a.zip"});
            }

            appendBytes(archive, "later", bytesOf("still writable"));
            EXPECT_EQ(archive.totalNumberOfEntries(), expected.size() + 1);
            if (!inMemory) {
                EXPECT_EQ(clientComplaints(path), "");
            }
        }
    }
}

TEST(RemoveEntry, TakesTheDataDescriptorAlong) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "a", textBytes(3000));
    writeFileBytes(folder / "b", bytesOf("bee\n"));
    // Written to a pipe, zip cannot go back to its headers and puts descriptors behind the data.
    const auto made =
        runCommand("cd " + shellQuote(folder.path().string()) + " && zip -q - a b | cat > f.zip");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const fs::path path = folder / "f.zip";
    const auto sizeBefore = fs::file_size(path);

    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::update);
    const Entry first = *archive.findEntry("a");
    ASSERT_TRUE(first.dataDescriptor || first.zip64DataDescriptor);
    const auto& central = first.centralDirectoryStructure;
    archive.removeEntry(first);

    EXPECT_EQ(fs::file_size(path), sizeBefore - first.localRecordLength() - 46 -
                                       central.fileNameLength - central.extraFieldLength);
    expectContiguous(archive);
    EXPECT_EQ(entryBytes(archive, *archive.findEntry("b")), bytesOf("bee\n"));
    EXPECT_EQ(clientComplaints(path), "");
}

TEST(RemoveEntry, RefusedOrCancelledLeavesTheArchiveAndFolderAsTheyWere) {
    TemporaryDirectory folder;
    const fs::path path = folder / "a.zip";
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    appendBytes(archive, "one", textBytes(100000));
    appendBytes(archive, "two", bytesOf("two"));
    Archive other = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(other, "two", bytesOf("another two"));
    const Bytes before = readFileBytes(path);
    Archive readOnly =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);

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
        try {
            c.archive->removeEntry(c.entry, defaultChunkSize, c.progress);
            ADD_FAILURE() << "removed " << c.entry.path();
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), c.expected);
        }
        EXPECT_EQ(readFileBytes(path), before);
        EXPECT_EQ(listTree(folder.path()), std::vector<std::string>{"a.zip"});
    }
    EXPECT_EQ(archive.totalNumberOfEntries(), 2u);
}

}  // namespace
}  // namespace marrowzip::testing

// Updates that a kill, a second writer or a file that is not quite a ZIP cannot break: the
// journal of an unfinished update, the writers' lock, and the checks before anything is written.
#include <unistd.h>

#include <cstdlib>

#include "marrowzip/archive/archive_access.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

std::string journalOf(const fs::path& archive) {
    return archive.string() + ".marrowzip-journal";
}

// Runs `work` in a child process that then dies without unwinding (as from SIGKILL): no
// destructor, no rollback, no flush of the stdio buffers beyond what `work` forced.
void inKilledChild(const std::function<void()>& work) {
    ASSERT_EQ(exitStatusInChild([&] {
                  work();
                  return 0;
              }),
              0);
}

// A child that begins a bulk append on the archive, writes `entries` entries (their bytes are
// forced to disk) and dies with the old directory overwritten.
void killedBulkAppend(const fs::path& path, int entries,
                      Archive::AccessMode mode = Archive::AccessMode::update) {
    inKilledChild([&] {
        Archive archive = openArchive(path, mode);
        Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, {.workers = 1});
        for (int i = 0; i < entries; ++i)
            appendNumbered(archive, i);
        std::fflush(ArchiveAccess::reader(archive).stream());
        std::_Exit(0);  // with the bulk append open
    });
}

TEST(UpdateJournal, AKilledAppendIsRolledBackByTheNextOpener) {
    struct Case {
        const char* name;
        Archive::AccessMode mode;
    };
    for (const Case& c :
         {Case{"reader", Archive::AccessMode::read}, Case{"writer", Archive::AccessMode::update}}) {
        SCOPED_TRACE(c.name);
        SampleArchive sample;
        sample.archive.reset();
        const Bytes before = readFileBytes(sample.path);
        killedBulkAppend(sample.path, 3);
        EXPECT_TRUE(fs::exists(journalOf(sample.path)));
        EXPECT_NE(readFileBytes(sample.path), before);  // the directory was overwritten

        Archive reopened = openArchive(sample.path, c.mode);
        EXPECT_EQ(contentsOf(reopened), sampleContents(0));
        EXPECT_EQ(readFileBytes(sample.path), before);
        EXPECT_FALSE(fs::exists(journalOf(sample.path)));
        EXPECT_EQ(clientComplaints(sample.path), "");
    }
}

TEST(UpdateJournal, AKilledCreationLeavesAnEmptyArchive) {
    TemporaryDirectory folder;
    killedBulkAppend(folder / "new.zip", 4, Archive::AccessMode::create);
    EXPECT_TRUE(contentsOf(folder / "new.zip").empty());
    EXPECT_EQ(readFileBytes(folder / "new.zip").size(), 22U);
}

TEST(UpdateJournal, AReaderThatCannotWriteReadsTheOldStateFromTheJournal) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes read-only files";
    SampleArchive sample;
    sample.archive.reset();
    killedBulkAppend(sample.path, 2);
    fs::permissions(sample.path, fs::perms::owner_read);
    EXPECT_EQ(contentsOf(sample.path), sampleContents(0));
    EXPECT_TRUE(fs::exists(journalOf(sample.path)));  // left for a writer to apply
    fs::permissions(sample.path, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(UpdateJournal, JournalsOfOtherFilesAreIgnoredAndDamagedOnesRefused) {
    SampleArchive sample;
    sample.archive.reset();
    const Bytes before = readFileBytes(sample.path);
    killedBulkAppend(sample.path, 2);
    // The archive is replaced by another file: the journal does not belong to it.
    const Bytes overwritten = readFileBytes(sample.path);
    fs::rename(sample.path, sample.folder / "old.zip");
    writeFileBytes(sample.path, before);
    Archive reopened = openArchive(sample.path, Archive::AccessMode::update);
    EXPECT_EQ(contentsOf(reopened), sampleContents(0));
    EXPECT_FALSE(fs::exists(journalOf(sample.path)));
    reopened = Archive::openMemory({}, Archive::AccessMode::create);

    writeFileBytes(sample.path, overwritten);
    writeFileText(journalOf(sample.path), "MZJRNL01 and then nothing that checks");
    const auto error =
        errorOf([&] { static_cast<void>(openArchive(sample.path, Archive::AccessMode::update)); });
    ASSERT_TRUE(error);
    EXPECT_NE(std::string(error->what()).find("journal"), std::string::npos) << error->what();
}

TEST(UpdateJournal, NoJournalIsLeftBehindByFinishedOrFailedUpdates) {
    SampleArchive sample;
    appendNumbered(*sample.archive, 0);
    EXPECT_FALSE(fs::exists(journalOf(sample.path)));
    {
        Archive::BulkAppend bulk =
            sample.archive->beginBulkAppend(defaultChunkSize, {.workers = 1});
        appendNumbered(*sample.archive, 1);
        EXPECT_TRUE(fs::exists(journalOf(sample.path)));
        bulk.finish();
    }
    EXPECT_FALSE(fs::exists(journalOf(sample.path)));
    EXPECT_TRUE(errorOf([&] {
        appendBytes(*sample.archive, "short", Bytes(10), CompressionMethod::none);
        sample.archive->appendEntry("liar",
                                    {.uncompressedSize = 100, .modificationDate = sampleDate},
                                    [](std::int64_t, std::int64_t) { return Bytes(1); });
    }));
    EXPECT_FALSE(fs::exists(journalOf(sample.path)));
    EXPECT_EQ(sample.complaints(), "");
}

TEST(WritersLock, ASecondWriterWaitsOrFailsAtOnce) {
    SampleArchive sample;
    Archive::OpenOptions noWait;
    noWait.waitForOtherWriter = false;
    const auto error = errorOf([&] {
        static_cast<void>(
            Archive::openFile(fileURL(sample.path), Archive::AccessMode::update, noWait));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ArchiveError::unwritableArchive);
    EXPECT_NE(std::string(error->what()).find("another process"), std::string::npos);

    // A waiting writer gets the file once the first lets go, and says it waited.
    std::atomic<bool> waited{false};
    std::thread second([&] {
        Archive::OpenOptions options;
        options.onWaiting = [&] { waited = true; };
        Archive archive =
            Archive::openFile(fileURL(sample.path), Archive::AccessMode::update, options);
        appendNumbered(archive, 1);
    });
    while (!waited.load())
        std::this_thread::yield();
    appendNumbered(*sample.archive, 0);
    sample.archive.reset();
    second.join();
    EXPECT_EQ(contentsOf(sample.path), sampleContents(2));
}

TEST(WritersLock, AReaderDuringAnUpdateSeesTheArchiveAsBefore) {
    SampleArchive sample;
    Archive::BulkAppend bulk = sample.archive->beginBulkAppend(defaultChunkSize, {.workers = 1});
    for (int i = 0; i < 3; ++i)
        appendNumbered(*sample.archive, i);
    std::fflush(ArchiveAccess::reader(*sample.archive).stream());
    EXPECT_EQ(contentsOf(sample.path), sampleContents(0));
    bulk.finish();
    EXPECT_EQ(contentsOf(sample.path), sampleContents(3));
}

// ---- Files that are not quite a ZIP ----

Bytes sampleBytes() {
    SampleArchive sample;
    return sample.bytes();
}

TEST(UpdateChecks, FilesThatCannotBeReadWholeAreNotChanged) {
    const Bytes zip = sampleBytes();
    Bytes prefixed(5000, 'p');
    prefixed.insert(prefixed.end(), zip.begin(), zip.end());
    Bytes trailed = zip;  // as the last member of a tar: zeros behind it
    trailed.insert(trailed.end(), 10240, 0);
    Bytes truncatedDirectory = zip;  // the end record claims one entry more
    truncatedDirectory[truncatedDirectory.size() - 22 + 8] += 1;
    truncatedDirectory[truncatedDirectory.size() - 22 + 10] += 1;
    struct Case {
        const char* name;
        Bytes bytes;
    };
    for (const Case& c : {Case{"unadjusted prefix", prefixed}, Case{"data behind", trailed},
                          Case{"short directory", truncatedDirectory}}) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory folder;
        const fs::path path = folder / "odd.zip";
        writeFileBytes(path, c.bytes);
        Archive archive = openArchive(path, Archive::AccessMode::update);
        // The words the tool prints as they are: no other layer adds them.
        const auto refused = errorOf([&] { appendNumbered(archive, 0); });
        ASSERT_TRUE(refused);
        EXPECT_NE(std::string(refused->what()).find("the file is left unchanged"),
                  std::string::npos)
            << refused->what();
        EXPECT_TRUE(errorOf([&] {
            Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, {.workers = 1});
            appendNumbered(archive, 1);
            bulk.finish();
        }));
        if (auto entry = archive.findEntry("one")) {
            EXPECT_TRUE(errorOf([&] { archive.removeEntry(*entry); }));
        }
        EXPECT_EQ(readFileBytes(path), c.bytes);
        EXPECT_FALSE(fs::exists(journalOf(path)));
    }
}

TEST(UpdateChecks, AStubWithAdjustedOffsetsIsKeptByAppendAndRemove) {
    TemporaryDirectory folder;
    const fs::path path = folder / "sfx.zip";
    const Bytes stub(5000, 's');
    if (!haveProgram("zip")) GTEST_SKIP() << "zip makes the adjusted archive";
    writeFileText(folder / "a.txt", "alpha alpha alpha");
    writeFileText(folder / "b.txt", "beta");
    ASSERT_EQ(
        runCommand("cd " + shellQuote(folder.path().string()) + " && zip -q plain.zip a.txt b.txt")
            .exitCode,
        0);
    Bytes sfx = stub;
    const Bytes plain = readFileBytes(folder / "plain.zip");
    sfx.insert(sfx.end(), plain.begin(), plain.end());
    writeFileBytes(path, sfx);
    ASSERT_EQ(runCommand("zip -qA " + shellQuote(path.string())).exitCode, 0);
    {
        Archive archive = openArchive(path, Archive::AccessMode::update);
        appendNumbered(archive, 0);
        archive.removeEntry(*archive.findEntry("a.txt"));
    }
    const Bytes after = readFileBytes(path);
    ASSERT_GE(after.size(), stub.size());
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), after.begin()));
    Archive reader = openArchive(path, Archive::AccessMode::read);
    const Contents contents = contentsOf(reader);
    ASSERT_EQ(contents.size(), 2U);
    EXPECT_EQ(contents[0].first, "b.txt");
    EXPECT_EQ(clientComplaints(path), "");
}

// (Whether the method asked for is written or what does not shrink is stored is checked with the
// parallel bulk appends.)
TEST(BulkOptions, AllOrNothingPutsTheArchiveBack) {
    SampleArchive sample;
    const Bytes before = sample.bytes();
    for (const bool finishAfterFailure : {false, true}) {
        SCOPED_TRACE(finishAfterFailure);
        {
            Archive::BulkOptions options;
            options.allOrNothing = true;
            options.workers = 2;
            Archive::BulkAppend bulk = sample.archive->beginBulkAppend(defaultChunkSize, options);
            appendNumbered(*sample.archive, 0);
            appendNumbered(*sample.archive, 1);
            if (finishAfterFailure) {
                EXPECT_TRUE(errorOf([&] {
                    sample.archive->appendEntry("gone", FileURL::fromPath("/nonexistent/x"));
                }));
                bulk.finish();
            }
        }
        EXPECT_EQ(sample.bytes(), before);
        EXPECT_FALSE(fs::exists(journalOf(sample.path)));
    }
}

TEST(RemoveEntries, SeveralGoInOneReplacementOrNoneDoes) {
    SampleArchive sample;
    for (int i = 0; i < 3; ++i)
        appendNumbered(*sample.archive, i);
    const Bytes before = sample.bytes();
    const Entry stranger = [] {
        Archive other = Archive::openMemory({}, Archive::AccessMode::create);
        appendBytes(other, "stranger", Bytes(3));
        return *other.findEntry("stranger");
    }();
    EXPECT_TRUE(errorOf([&] {
        sample.archive->removeEntries({*sample.archive->findEntry("one"), stranger});
    }));
    EXPECT_EQ(sample.bytes(), before);

    sample.archive->removeEntries(
        {*sample.archive->findEntry("bulk1"), *sample.archive->findEntry("one")});
    const Contents expected{
        {"two", randomBytes(9000)}, {"bulk0", textBytes(0, 0)}, {"bulk2", textBytes(14000, 2)}};
    EXPECT_EQ(sample.contents(), expected);
    EXPECT_EQ(sample.complaints(), "");
}

// Entries left out and others appended land together on commit(), and not at all without it,
// on disk (where the copy is made beside the archive and leaves nothing behind) and in memory.
TEST(Replacement, LandsWholeOnCommitAndNotAtAllWithout) {
    for (const bool inMemory : {false, true}) {
        SCOPED_TRACE(inMemory ? "in memory" : "on disk");
        SampleArchive sample(inMemory);
        const Bytes before = sample.bytes();
        const auto leftovers = [&] {
            std::vector<std::string> names;
            for (const auto& item : fs::directory_iterator(sample.folder.path()))
                names.push_back(item.path().filename().string());
            return names;
        };
        {
            Archive::Replacement abandoned =
                sample.archive->beginReplacement({*sample.archive->findEntry("one")});
            appendBytes(abandoned.archive(), "three", textBytes(500, 3));
        }
        EXPECT_EQ(sample.bytes(), before);
        if (!inMemory) {
            EXPECT_EQ(leftovers(), std::vector<std::string>{"a.zip"});
        }

        Archive::Replacement replacement =
            sample.archive->beginReplacement({*sample.archive->findEntry("one")});
        {
            Archive::BulkAppend bulk = replacement.archive().beginBulkAppend();
            appendBytes(replacement.archive(), "one", textBytes(100, 9),
                        CompressionMethod::deflate);
            EXPECT_TRUE(errorOf([&] { replacement.commit(); }));  // the bulk append is open
            bulk.finish();
        }
        EXPECT_EQ(sample.bytes(), before);
        replacement.commit();
        EXPECT_TRUE(errorOf([&] { replacement.archive(); }));
        const Contents expected{{"two", randomBytes(9000)}, {"one", textBytes(100, 9)}};
        EXPECT_EQ(sample.contents(), expected);
        EXPECT_EQ(contentsOf(*sample.archive), expected);
        EXPECT_EQ(sample.complaints(), "");
        if (!inMemory) {
            EXPECT_EQ(leftovers(), std::vector<std::string>{"a.zip"});
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing

// Opening an archive: the search for its end record, creation, listing and lookup.
#include "marrowzip/archive/archive.hpp"

#include <gtest/gtest.h>

#include "hex.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

using Mode = Archive::AccessMode;

// An end record whose central-directory offset field carries `marker`, so that a test can tell
// which of several records the search settled on.
std::string endRecord(std::uint8_t marker, const std::string& commentLength = "0000") {
    const char digits[] = "0123456789abcdef";
    return std::string("504b0506 0000 0000 0000 0000 00000000 ") + digits[marker >> 4] +
           digits[marker & 15] + "000000" + commentLength;
}

std::string filler(std::size_t count) {
    return std::string(2 * count, '7');
}

// The search reads 64 KiB blocks backwards that overlap by three bytes; records at the first
// and last offset of the first two seams, behind more than any 16-bit comment, are found.
TEST(EndRecordSearch, FindsTheRecordClosestToTheEndWhereverItLies) {
    constexpr std::size_t perBlock = 65536 - 3;
    for (std::size_t t : {std::size_t{0}, perBlock - 1, perBlock, 2 * perBlock - 1, 2 * perBlock}) {
        const Bytes data = hex(filler(1000) + endRecord(1) + filler(50) + endRecord(2) + filler(t));
        const auto archive = Archive::tryOpenMemory(data, Mode::read);
        ASSERT_TRUE(archive.has_value()) << t;
        EXPECT_EQ(archive->offsetToStartOfCentralDirectory(), 2U) << t;
    }
}

TEST(EndRecordSearch, FailsWithoutTryingEarlierSignatures) {
    const std::pair<const char*, Bytes> cases[] = {
        {"21 bytes", Bytes(21, 0)},  // no signature at all: see the hostile claims
        {"comment runs past the end", hex(endRecord(0, "0a00"))},
        // A good record whose comment holds a signature 22 bytes before the end.
        {"signature in the comment",
         hex(endRecord(0, "1e00") + filler(8) + "504b0506" + filler(18))},
    };
    for (const auto& [name, data] : cases) {
        const auto error = errorOf([&] { Archive::openMemory(data, Mode::read); });
        EXPECT_EQ(error ? error->code() : std::error_code(),
                  ArchiveError::missingEndOfCentralDirectoryRecord)
            << name;
    }
}

TEST(EndRecordSearch, FindsZIP64RecordsOnlyDirectlyBeforeTheLocatorFromOffset77On) {
    const std::string record = "504b0606 2c00000000000000 1503 2d00" + std::string(32, '0') +
                               "0700000000000000" + std::string(32, '0');
    const std::string locator = "504b0607 00000000 0100000000000000 01000000";
    const std::pair<std::string, bool> cases[] = {
        {record + locator + endRecord(0), false},  // end record at 76
        {filler(1) + record + locator + endRecord(0), true},
        {filler(1) + record + filler(1) + locator + endRecord(0), false},
    };
    for (const auto& [text, found] : cases) {
        const auto archive = Archive::tryOpenMemory(hex(text), Mode::read);
        ASSERT_TRUE(archive.has_value());
        EXPECT_EQ(archive->zip64EndOfCentralDirectory().has_value(), found);
        EXPECT_EQ(archive->totalNumberOfEntries(), found ? 7U : 0U);
    }
}

// A new archive is the empty end record alone: in a new file, never over an existing one, and
// in memory over the start of the buffer given.
TEST(ArchiveCreation, NeverOverwritesAndWritesTheEmptyEndRecord) {
    TemporaryDirectory folder;
    const auto existing = folder / "precious.zip";
    writeFileText(existing, "keep me");
    const auto taken = errorOf([&] { Archive::openFile(fileURL(existing), Mode::create); });
    ASSERT_TRUE(taken) << "created over an existing file";
    EXPECT_EQ(taken->code(), FileError::fileWriteFileExists);
    EXPECT_EQ(taken->path(), existing.string());
    EXPECT_EQ(readFileBytes(existing), bytesOf("keep me"));
    // A missing archive is the same kind of error as a missing source item.
    const auto missing =
        errorOf([&] { Archive::openFile(fileURL(folder / "missing.zip"), Mode::read); });
    ASSERT_TRUE(missing) << "opened a missing archive";
    EXPECT_EQ(missing->code(), FileError::fileReadNoSuchFile);
    EXPECT_EQ(missing->code(), std::errc::no_such_file_or_directory);

    Archive::openFile(fileURL(folder / "new.zip"), Mode::create);
    EXPECT_EQ(readFileBytes(folder / "new.zip"), hex(endRecord(0)));

    EXPECT_EQ(Archive::openMemory({}, Mode::create).data(), hex(endRecord(0)));
    const auto archive = Archive::openMemory(hex(filler(30)), Mode::create);
    EXPECT_EQ(archive.data(), hex(endRecord(0) + filler(8)));
    EXPECT_EQ(archive.url().absoluteString(), "memory:/");
}

Archive open(const Bytes& bytes, std::optional<std::string> encoding = {}) {
    return Archive::openMemory(bytes, Mode::read, encoding);
}

// A count beyond the records ends early too: see the hostile claims of 2^64 - 1 entries.
TEST(Enumeration, EndsEarlyAtAnEncryptedEntry) {
    auto encryptedEntry = rawFile("b", "x");
    encryptedEntry.flags |= 1;
    const Archive encrypted =
        open(buildRawArchive({rawFile("a", "x"), encryptedEntry, rawFile("c", "x")}));
    EntryIterator entries = encrypted.makeEntryIterator();
    EXPECT_EQ(entries.next().value_or(Entry{}).path(), "a");
    EXPECT_FALSE(entries.next().has_value());
    EXPECT_FALSE(entries.next().has_value());  // and stays ended
    EXPECT_TRUE(entries.endedEarly() && entries.stoppedAtEncryptedEntry());
    // What every front end reports: the entry by number and path, and what lies before it.
    const Error error = entries.earlyEndError("x.zip");
    EXPECT_EQ(error.code(), ArchiveError::encryptedEntry);
    EXPECT_STREQ(error.what(),
                 "x.zip: b: the entry is encrypted, and encryption is not supported; it is entry "
                 "2 of 3, and the entry before it is readable");
}

TEST(Enumeration, ADescriptorWithoutSignatureGivesChecksumSizesAndLocalLength) {
    auto deferred = rawFile("a", "hello");
    deferred.deferredSizes = true;
    Bytes bytes = buildRawArchive({deferred});
    // Drop the descriptor's signature (behind 30 + 1 + 5 bytes) and move the central directory
    // offset of the end record (16 bytes into it) along.
    bytes.erase(bytes.begin() + 36, bytes.begin() + 40);
    bytes[bytes.size() - 22 + 16] -= 4;
    const Archive archive = open(bytes);
    const auto a = archive.makeEntryIterator().next();
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(std::tuple(a->checksum(), a->compressedSize(), a->uncompressedSize()),
              std::tuple(0x3610A686U, 5ULL, 5ULL));
    EXPECT_EQ(a->localRecordLength(), archive.offsetToStartOfCentralDirectory());
}

// One Entry read into again and again must end up as a fresh one would: nothing of the entry
// before (a longer name, a data descriptor) may stay behind.
TEST(Enumeration, AnEntryReadIntoAgainHoldsOnlyTheNextEntry) {
    auto deferred = rawFile("a-rather-long-name-of-the-first-entry", "hello");
    deferred.deferredSizes = true;
    auto dos = rawFile("DOS.TXT", "");
    dos.flags = 0;
    const Archive archive = open(buildRawArchive(
        {deferred, rawFile("b", "world!"), dos, rawFolder("dir/"), rawFile("\xc3\xa9", "x")}));
    EntryIterator fresh = archive.makeEntryIterator();
    EntryIterator reused = archive.makeEntryIterator();
    Entry entry;
    std::string path = "a previous path that is longer than any of the names";
    std::size_t count = 0;
    while (reused.next(entry)) {
        const auto expected = fresh.next();
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(entry.centralDirectoryStructure, expected->centralDirectoryStructure);
        EXPECT_EQ(entry.localFileHeader, expected->localFileHeader);
        EXPECT_EQ(entry.dataDescriptor, expected->dataDescriptor);
        EXPECT_EQ(entry.checksum(), expected->checksum());
        entry.decodePath(path);
        EXPECT_EQ(path, expected->path());
        ++count;
    }
    EXPECT_FALSE(fresh.next().has_value());
    EXPECT_EQ(count, 5U);
    EXPECT_FALSE(reused.endedEarly());
}

TEST(Lookup, MatchesCanonicallyEquivalentNamesInTheArchivesEncoding) {
    auto japanese = rawFile("\x83\x65\x83\x58\x83\x67", "x");
    japanese.flags = 0;
    const Bytes bytes = buildRawArchive({rawFile("Cafe\u0301", "x"), japanese});
    const auto cafe = open(bytes).findEntry("Caf\u00e9");
    ASSERT_TRUE(cafe.has_value());
    EXPECT_EQ(cafe->localHeaderOffset(), 0U);
    EXPECT_FALSE(open(bytes).findEntry("\u30c6\u30b9\u30c8").has_value());
    EXPECT_TRUE(open(bytes, "Shift_JIS").findEntry("\u30c6\u30b9\u30c8").has_value());
}

}  // namespace
}  // namespace marrowzip

#include <gtest/gtest.h>

#include "hex.hpp"
#include "marrowzip/container/archive.hpp"
#include "support/raw_archive.hpp"

namespace marrowzip {
namespace {

using testing::buildRawArchive;
using testing::rawFile;

std::vector<std::string> pathsOf(EntryIterator& entries) {
    std::vector<std::string> paths;
    while (auto entry = entries.next())
        paths.push_back(entry->path());
    return paths;
}

Archive open(const Bytes& bytes, std::optional<std::string> encoding = {}) {
    return Archive::openMemory(bytes, Archive::AccessMode::read, encoding);
}

TEST(Enumeration, EndsEarlyAtAnEncryptedEntryOrAMissingRecord) {
    auto encryptedEntry = rawFile("b", "x");
    encryptedEntry.flags |= 1;
    const Archive encrypted =
        open(buildRawArchive({rawFile("a", "x"), encryptedEntry, rawFile("c", "x")}));
    EntryIterator entries = encrypted.makeEntryIterator();
    EXPECT_EQ(pathsOf(entries), std::vector<std::string>{"a"});
    EXPECT_FALSE(entries.next().has_value());  // and stays ended
    EXPECT_TRUE(entries.endedEarly() && entries.stoppedAtEncryptedEntry());

    for (std::uint16_t claimed : {2, 5}) {
        const Archive archive =
            open(buildRawArchive({rawFile("a", "x"), rawFile("b", "y")}, claimed));
        EntryIterator listed = archive.makeEntryIterator();
        EXPECT_EQ(pathsOf(listed), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(listed.endedEarly(), claimed == 5);
        EXPECT_FALSE(listed.stoppedAtEncryptedEntry());
    }
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

Entry entryWith(std::uint16_t versionMadeBy, std::uint32_t attributes, const std::string& name,
                std::uint16_t flags = 0, Bytes extra = {}) {
    Entry entry;
    auto& record = entry.centralDirectoryStructure;
    record.versionMadeBy = versionMadeBy;
    record.externalFileAttributes = attributes;
    record.fileNameData.assign(name.begin(), name.end());
    record.generalPurposeBitFlag = flags;
    record.extraFieldData = std::move(extra);
    return entry;
}

constexpr std::uint16_t dos = 0x0014, unix = 0x031E, other = 0x0A14;

TEST(Entry, TypeFollowsTheRulesOfTheHostSystem) {
    const std::tuple<std::uint16_t, std::uint32_t, const char*, EntryType> cases[] = {
        {dos, 0, "d/", EntryType::directory},
        {dos, 0x10, "d", EntryType::directory},
        {dos, 0x13, "d", EntryType::directory},
        {dos, 0x30, "d", EntryType::file},
        {unix, 0120777U << 16, "l", EntryType::symlink},
        {unix, 0, "d/", EntryType::directory},
        {unix, 0100644U << 16, "f/", EntryType::file},
        {unix, 040755U << 16, "d", EntryType::directory},
        {other, 0x10, "x", EntryType::file},
        {other, 0, "x/", EntryType::directory},
    };
    for (const auto& [host, attributes, name, type] : cases)
        EXPECT_EQ(entryWith(host, attributes, name).type(), type) << host << " " << name;
}

TEST(Entry, NamesDecodeByTheirOwnRule) {
    // Info-ZIP's Unicode Path field for "name.txt": version 1, the name's CRC-32, "Größe.txt".
    const auto unicodePath = [](const std::string& crc) {
        return testing::hex("7570 1000 01" + crc + "4772c3b6c39f652e747874");
    };
    const std::tuple<std::uint16_t, std::uint16_t, std::string, Bytes, std::string> cases[] = {
        {dos, 0x800, "Gr\u00fc\u00dfe", {}, "Gr\u00fc\u00dfe"},
        {dos, 0x800, "\x81", {}, ""},
        {dos, 0, "\x81\xb3", {}, "\u00fc\u2502"},
        {dos, 0, "\x7f\x1a", {}, "\x7f\x1a"},
        {unix, 0, "Gr\u00fc\u00dfe", {}, "Gr\u00fc\u00dfe"},
        {unix, 0, "\x81", {}, "\u00fc"},
        {dos, 0, "name.txt", unicodePath("5290a1cb"), "Gr\u00f6\u00dfe.txt"},
        {dos, 0, "name.txt", unicodePath("5390a1cb"), "name.txt"},
    };
    for (const auto& [host, flags, name, extra, path] : cases)
        EXPECT_EQ(entryWith(host, 0, name, flags, extra).path(), path) << name;
    const Entry japanese = entryWith(dos, 0, "\x83\x65\x83\x58\x83\x67");
    EXPECT_EQ(japanese.pathUsingEncoding("Shift_JIS"), "\u30c6\u30b9\u30c8");
    EXPECT_EQ(japanese.pathUsingEncoding("no-such-encoding"), "");
}

TEST(Entry, ZIP64SentinelsTakeTheBlockValueEvenWhenItIsZero) {
    Entry entry = entryWith(unix, 0, "empty");
    auto& record = entry.centralDirectoryStructure;
    record.versionNeededToExtract = 0x0114;
    EXPECT_FALSE(entry.isZIP64());
    record.versionNeededToExtract = 0x012D;
    EXPECT_TRUE(entry.isZIP64());
    record.uncompressedSize = record.relativeOffsetOfLocalHeader = 0xFFFFFFFF;
    record.zip64Block = ZIP64ExtendedInformation{1, 16, 0, 0, 0, 0};
    EXPECT_EQ(std::tuple(entry.uncompressedSize(), entry.centralUncompressedSize(),
                         entry.localHeaderOffset()),
              std::tuple(0ULL, 0ULL, 0ULL));
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

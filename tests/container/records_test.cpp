// The records byte by byte, and what an entry reads from them.
#include <gtest/gtest.h>

#include "hex.hpp"
#include "marrowzip/format/entry.hpp"

namespace marrowzip {
namespace {

using testing::hex;

// Parses a record from bytes as readRecord would: the fixed part, then a tail cut from the rest.
template <typename Record>
std::optional<Record> parseBytes(const Bytes& bytes) {
    const std::size_t fixed = std::min(bytes.size(), Record::fixedSize);
    const TailBytesProvider tail = [&](std::size_t length) -> std::optional<ByteView> {
        const std::size_t available = std::min(length, bytes.size() - fixed);
        return ByteView(bytes).subspan(fixed, available);
    };
    return Record::parse(ByteView(bytes).first(fixed), tail);
}

// Parses the golden bytes and checks that they serialize back unchanged.
template <typename Record>
Record roundTrip(const std::string& golden) {
    const auto record = parseBytes<Record>(hex(golden));
    if (!record) ADD_FAILURE() << "not parsed: " << golden;
    EXPECT_EQ(record.value_or(Record{}).serialize(), hex(golden));
    return record.value_or(Record{});
}

// The fields hold distinct values, so one read at another's offset shows. The ZIP64 end record
// and locator are read in the end-record search tests, and written for archives of 65535 entries
// and more that the clients check (the operations suite).
TEST(Records, ReadEveryFieldAtItsOffsetAndWriteTheSameBytes) {
    const auto h = roundTrip<LocalFileHeader>(
        "504b0304 1400 0808 0800 2143 6587 efcdab89 10000000 20000000 0300 0400 612f62 01020304");
    EXPECT_EQ(std::tuple(h.versionNeededToExtract, h.generalPurposeBitFlag, h.compressionMethod,
                         h.lastModFileTime, h.lastModFileDate, h.crc32, h.compressedSize,
                         h.uncompressedSize, h.extraFieldData.size()),
              std::tuple(20, 0x0808, 8, 0x4321, 0x8765, 0x89ABCDEFU, 0x10U, 0x20U, 4U));
    const auto r = roundTrip<CentralDirectoryStructure>(
        "504b0102 1e03 2d00 0008 0000 2143 6587 efcdab89 ffffffff 20000000 0100 0c00 0200 0300 0100"
        "0000ed41 78563412 64 0100 0800 00000000 01000000 6869");
    EXPECT_EQ(std::tuple(r.versionMadeBy, r.crc32, r.uncompressedSize, r.diskNumberStart,
                         r.internalFileAttributes, r.externalFileAttributes,
                         r.relativeOffsetOfLocalHeader, r.fileCommentData.size()),
              std::tuple(0x031E, 0x89ABCDEFU, 0x20U, 3, 1, 0x41ED0000U, 0x12345678U, 2U));
    ASSERT_TRUE(r.zip64Block.has_value());
    EXPECT_EQ(r.zip64Block->compressedSize, 0x100000000U);
    const auto e = roundTrip<EndOfCentralDirectoryRecord>(
        "504b0506 0100 0200 0300 0400 05000000 06000000 0200 6f6b");
    EXPECT_EQ(std::tuple(e.numberOfDisk, e.numberOfDiskStart, e.totalNumberOfEntriesOnDisk,
                         e.totalNumberOfEntriesInCentralDirectory, e.sizeOfCentralDirectory,
                         e.offsetToStartOfCentralDirectory, e.zipFileCommentData),
              std::tuple(1, 2, 3, 4, 5U, 6U, Bytes{'o', 'k'}));
    // Data descriptors, always written with their signature: 32-bit sizes, and the 64-bit ones
    // behind a local header with a ZIP64 block.
    const auto d = roundTrip<DataDescriptor32>("504b0708 efcdab89 10000000 20000000");
    EXPECT_EQ(std::tuple(d.crc32, d.compressedSize, d.uncompressedSize),
              std::tuple(0x89ABCDEFU, 0x10U, 0x20U));
    const auto d64 =
        roundTrip<DataDescriptor64>("504b0708 efcdab89 0100000001000000 0200000001000000");
    EXPECT_EQ(std::tuple(d64.compressedSize, d64.uncompressedSize),
              std::tuple(0x100000001U, 0x100000002U));
    // A ZIP64 block whose one set size still writes both.
    EXPECT_EQ((ZIP64ExtendedInformation{1, 16, 5, 0, 0, 0}).serialize(),
              hex("0100 1000 0500000000000000 0000000000000000"));
}

TEST(Records, DamagedOrOutOfRangeRecordsAreAbsent) {
    // The name and extra field are one byte short.
    EXPECT_FALSE(
        parseBytes<LocalFileHeader>(hex("504b0304" + std::string(36, '0') + "0300 0100 612f62")));
    // A ZIP64 end record needs version 45.
    EXPECT_FALSE(parseBytes<ZIP64EndOfCentralDirectoryRecord>(
        hex("504b0606 2c00000000000000 1503 2c00" + std::string(80, '0'))));
    // Offsets and sizes beyond the signed file position.
    EXPECT_FALSE(parseBytes<ZIP64EndOfCentralDirectoryLocator>(
        hex("504b0607 00000000 0000000000000080 01000000")));
    EXPECT_FALSE(
        parseBytes<DataDescriptor64>(hex("504b0708 01000000 ffffffffffffffff 0000000000000000")));
    EXPECT_FALSE(parseBytes<DataDescriptor32>(hex("504b0708 11223344 05000000")));
}

TEST(ZIP64Block, IsFoundOnlyWhenItCarriesExactlyTheValuesTheSentinelsCallFor) {
    using F = ZIP64Field;
    const std::string unc7 = "0100 0800 0700000000000000";
    const std::tuple<std::string, std::vector<F>, std::optional<std::uint64_t>> cases[] = {
        {unc7, {F::uncompressedSize}, 7},
        {unc7, {F::uncompressedSize, F::compressedSize}, std::nullopt},
        {"5554 0500 0300000000" + unc7, {F::uncompressedSize}, 7},  // behind another block
        {"5554 6400 0300000000" + unc7, {F::uncompressedSize}, std::nullopt},  // first overruns
        {"0100 0000", {}, std::nullopt},
        {"0100 0800 0000000000000080", {F::uncompressedSize}, std::nullopt},  // beyond off_t
    };
    for (const auto& [extra, fields, uncompressed] : cases) {
        const auto block = findZIP64Block(hex(extra), fields);
        EXPECT_EQ(block ? std::optional(block->uncompressedSize) : std::nullopt, uncompressed)
            << extra;
    }
}

// A moved record must parse again with the same sizes and the new offset, whatever mix of
// 32-bit fields and ZIP64 values it started with, and keep its other extra-field blocks. A
// sentinel whose block value is 0 (forced-ZIP64 writers' empty files) means 0, not 4 GiB.
// Removal moves every entry behind a removed one through this.
TEST(RecordBuilders, MovedRecordsParseAgainWithTheirSizesAndNewOffset) {
    const auto sizesAndOffset = [](const CentralDirectoryStructure& record) {
        Entry entry;
        entry.centralDirectoryStructure = record;
        return std::tuple(entry.centralCompressedSize(), entry.centralUncompressedSize(),
                          entry.localHeaderOffset());
    };
    const std::uint64_t big = 0x140000000;
    // {32-bit sizes, ZIP64 block data, new offset, compressed size, uncompressed size}
    const std::tuple<std::string, std::string, std::uint64_t, std::uint64_t, std::uint64_t>
        cases[] = {
            {"00000000 ffffffff", "0000000000000000", 100, 0, 0},  // forced ZIP64, empty file
            {"34120000 ffffffff", "0000004001000000", 2 * big, 0x1234, big},
            {"0a000000 14000000", "", 2 * big, 10, 20},
        };
    for (const auto& [sizes32, zip64Data, newOffset, compressed, uncompressed] : cases) {
        const std::string zip64 = zip64Data.empty() ? "" : "0100 0800" + zip64Data;
        const auto record = parseBytes<CentralDirectoryStructure>(
            hex("504b0102" + std::string(32, '0') + sizes32 + "0100" +
                (zip64Data.empty() ? "0900" : "1500") + std::string(28, '0') +
                "66 5554 0500 0300000000" + zip64));
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(sizesAndOffset(*record), std::tuple(compressed, uncompressed, 0ULL));
        const auto moved = parseBytes<CentralDirectoryStructure>(
            CentralDirectoryStructure::withNewOffset(*record, newOffset).serialize());
        ASSERT_TRUE(moved.has_value());
        EXPECT_EQ(sizesAndOffset(*moved), std::tuple(compressed, uncompressed, newOffset));
        EXPECT_TRUE(extraFieldBlockData(moved->extraFieldData, 0x5455).has_value());
        // And back below 4 GiB, as a removal before it does: the offset leaves the block.
        const auto back = parseBytes<CentralDirectoryStructure>(
            CentralDirectoryStructure::withNewOffset(*moved, 100).serialize());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(sizesAndOffset(*back), std::tuple(compressed, uncompressed, 100ULL));
        EXPECT_TRUE(extraFieldBlockData(back->extraFieldData, 0x5455).has_value());
        // A record serialized before its place was known takes an offset below 4 GiB in place,
        // the same bytes as the record moved there.
        Bytes placed = record->serialize();
        CentralDirectoryStructure::setSerializedOffset(placed, 0xFFFFFFFE);
        EXPECT_EQ(placed,
                  CentralDirectoryStructure::withNewOffset(*record, 0xFFFFFFFE).serialize());
    }
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

// Unix links and folders by their modes are listed from zip's archives in the interop test.
TEST(Entry, TypeFollowsTheRulesOfTheHostSystem) {
    const std::tuple<std::uint16_t, std::uint32_t, const char*, EntryType> cases[] = {
        {dos, 0, "d/", EntryType::directory},   {dos, 0x10, "d", EntryType::directory},
        {dos, 0x13, "d", EntryType::directory}, {dos, 0x30, "d", EntryType::file},
        {unix, 0, "d/", EntryType::directory},  {unix, 0100644U << 16, "f/", EntryType::file},
        {other, 0x10, "x", EntryType::file},
    };
    for (const auto& [host, attributes, name, type] : cases)
        EXPECT_EQ(entryWith(host, attributes, name).type(), type) << host << " " << name;
}

// Valid UTF-8 names, flagged (Python's) or from Unix hosts (zip's), are unzipped in the
// filesystem suite; Shift_JIS names are looked up in the archive tests.
TEST(Entry, NamesDecodeByTheirOwnRule) {
    // Info-ZIP's Unicode Path field for "name.txt": version 1, the name's CRC-32, "Größe.txt".
    const auto unicodePath = [](const std::string& crc) {
        return testing::hex("7570 1000 01" + crc + "4772c3b6c39f652e747874");
    };
    const std::tuple<std::uint16_t, std::uint16_t, std::string, Bytes, std::string> cases[] = {
        {dos, 0x800, "\x81", {}, ""},
        // Flagged names must be well-formed UTF-8: overlong, surrogate, beyond U+10FFFF, cut.
        {dos, 0x800, "abcdefgh\xf0\x9f\x98\x80\xc3\xa9", {}, "abcdefgh\U0001F600\u00e9"},
        {dos, 0x800, "abcdefgh\xc0\xaf", {}, ""},
        {dos, 0x800, "\xed\xa0\x80", {}, ""},
        {dos, 0x800, "\xf4\x90\x80\x80", {}, ""},
        {dos, 0x800, "a\xe2\x82", {}, ""},
        {dos, 0x800, "\xef\xbf\xbf", {}, "\xef\xbf\xbf"},  // a noncharacter is well-formed
        {dos, 0, "\x81\xb3", {}, "\u00fc\u2502"},
        {dos, 0, "\x7f\x1a", {}, "\x7f\x1a"},
        {unix, 0, "\x81", {}, "\u00fc"},
        {dos, 0, "name.txt", unicodePath("5290a1cb"), "Gr\u00f6\u00dfe.txt"},
        {dos, 0, "name.txt", unicodePath("5390a1cb"), "name.txt"},
    };
    for (const auto& [host, flags, name, extra, path] : cases)
        EXPECT_EQ(entryWith(host, 0, name, flags, extra).path(), path) << name;
    EXPECT_EQ(entryWith(dos, 0, "\x83\x65").pathUsingEncoding("no-such-encoding"), "");
}

// The exact times of the extra fields stand before the DOS fields; whatever is damaged, absent or
// out of range is passed over, never an error. The round trips with the tools that write these
// fields run in the tools suite.
TEST(Entry, ModificationTimeComesFromASoundExactFieldElseFromTheDOSFields) {
    const std::int64_t t = 1591012801;                // 2020-06-01T12:00:01Z
    const std::string ut = "c1edd45e";                // t, 32 bits
    const std::string filetime = "074daf2d0c38d601";  // t + 0.1234567 s
    const std::uint16_t date2020 = 0x50C1, date2040 = 0x7821, date1980 = 0x0021;
    const Timestamp dos2020{t - 1, 0};  // 12:00:00: even seconds only
    const auto ntfs = [](const std::string& attributes) {
        return "0a00 " + testing::hexLength("00000000" + attributes) + " 00000000 " + attributes;
    };
    const std::string times = "0100 1800 " + filetime + std::string(32, '0');
    // {central extra field, local extra field, DOS date, time}
    const std::tuple<std::string, std::string, std::uint16_t, Timestamp> cases[] = {
        {"", "", date2020, dos2020},
        {"5554 0500 01" + ut, "", date2020, {t, 0}},
        {"5554 0500 03" + ut, "", date2020, {t, 0}},  // the central form of flags 3
        {"5554 0d00 07" + ut + "0000000000000000", "", date2020, {t, 0}},
        {"5554 0100 01", "", date2020, dos2020},       // the flag without the field
        {"5554 0500 02" + ut, "", date2020, dos2020},  // an access time only
        {"5554 0300 01c1ed", "", date2020, dos2020},   // truncated
        {"5554 0900 01" + ut, "", date2020, dos2020},  // claims more than remains
        {"", "5554 0900 03" + ut + "00000000", date2020, {t, 0}},
        {"5554 0500 01 00f15365", "5554 0500 01" + ut, date2020, {1700000000, 0}},
        {"5554 0d00 07" + ut + "0000000000000000", "5554 0500 01 00000000", date2020, {t, 0}},
        {"5554 0300 01c1ed", "5554 0500 01" + ut, date2020, {t, 0}},
        {"0100 0800 0000000000000000 5554 0500 01" + ut, "", date2020, {t, 0}},
        // Before 1970, the last signed second, and past 2038 as writers then store it.
        {"5554 0500 01 e49527ff", "", date1980, {-14182940, 0}},
        {"5554 0500 01 ffffff7f", "", date2020, {0x7FFFFFFF, 0}},
        {"5554 0500 01 00000080", "", date1980, {-0x80000000LL, 0}},
        {"5554 0500 01 807eaa83", "", date2040, {2208988800, 0}},
        // NTFS times, to 100 ns, stand before an extended timestamp.
        {ntfs(times) + "5554 0500 01 00000000", "", date2020, {t, 123456700}},
        {"", ntfs("0200 0000 " + times), date2020, {t, 123456700}},
        {ntfs("0100 1000 " + filetime + filetime), "", date2020, dos2020},   // tag 1 too short
        {ntfs("0100 1800 " + std::string(48, '0')), "", date2020, dos2020},  // no time
        {ntfs("0100 1800 0000000000000080" + std::string(32, '0')), "", date2020, dos2020},
        {ntfs("0100 1800 ff3fc0d15e5ac824" + std::string(32, '0')) + "5554 0500 01" + ut,
         "",
         date2020,
         {253402300799, 999999900}},  // 9999-12-31T23:59:59.9999999Z
        {ntfs("0100 1800 0040c0d15e5ac824" + std::string(32, '0')) + "5554 0500 01" + ut,
         "",
         date2020,
         {t, 0}},  // year 10000
        {"0a00 0200 0000", "", date2020, dos2020},
    };
    for (const auto& [central, local, date, time] : cases) {
        Entry entry = entryWith(unix, 0, "f", 0, hex(central));
        entry.centralDirectoryStructure.lastModFileDate = date;
        entry.centralDirectoryStructure.lastModFileTime = 0x6000;  // 12:00:00
        entry.localFileHeader.extraFieldData = hex(local);
        const Timestamp got = entry.modificationTime();
        EXPECT_EQ(std::pair(got.seconds, got.nanoseconds),
                  std::pair(time.seconds, time.nanoseconds))
            << central << " | " << local;
    }
}

}  // namespace
}  // namespace marrowzip

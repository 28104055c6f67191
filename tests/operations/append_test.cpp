#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <stdexcept>

#include "container/hex.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/processing/dos_date.hpp"
#include "marrowzip/write/append_limits.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

// Folders and links take no compression and their type's mode bits, whatever the caller asks;
// the defaults stand in for missing permissions; a file's set-user-ID bit is kept. A cancelled
// progress stops file data only: a folder or a link is completed regardless.
TEST(AppendedRecords, CarryTheMethodAndModeOfEachKindOfItem) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "tool", bytesOf("#!/bin/sh\n"));
    fs::permissions(folder / "tool", static_cast<fs::perms>(04755));
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(archive, "empty", {}, CompressionMethod::deflate);
    Progress cancelled;
    cancelled.cancel();
    const AppendOptions deflated{.compressionMethod = CompressionMethod::deflate,
                                 .progress = &cancelled};
    archive.appendEntry(
        "folder", {.type = EntryType::directory, .modificationDate = sampleDate},
        [](std::int64_t, std::int64_t) { return Bytes(); }, deflated);
    // A whole st_mode of a file: its type bits must not mix with the link's.
    archive.appendEntry(
        "link",
        {.type = EntryType::symlink,
         .uncompressedSize = 1,
         .modificationDate = sampleDate,
         .permissions = S_IFREG | 0777},
        [](std::int64_t, std::int64_t) { return bytesOf("x"); }, deflated);
    archive.appendEntry("tool", fileURL(folder / "tool"));

    const std::tuple<std::string, std::uint16_t, std::uint32_t> expected[] = {
        {"empty", 8, S_IFREG | 0644},
        {"folder/", 0, S_IFDIR | 0755},
        {"link", 0, S_IFLNK | 0777},
        {"tool", 0, S_IFREG | 04755},
    };
    std::size_t index = 0;
    for (const Entry& entry : Archive::openMemory(*archive.data(), Archive::AccessMode::read)) {
        ASSERT_LT(index, std::size(expected));
        const auto& [path, method, mode] = expected[index++];
        EXPECT_EQ(entry.path(), path);
        EXPECT_EQ(entry.centralDirectoryStructure.compressionMethod, method) << path;
        EXPECT_EQ(entry.centralDirectoryStructure.externalFileAttributes, mode << 16) << path;
    }
    EXPECT_EQ(index, std::size(expected));
}

// Both headers carry the exact time in an extended timestamp block (flags 1, the time in
// seconds), next to the DOS fields in UTC; past 2038 the field is read unsigned, and a date that
// 32 bits cannot hold goes without the block.
TEST(AppendedRecords, CarryTheExactModificationTimeInBothHeaders) {
    const std::tuple<Date, std::string, Timestamp> cases[] = {
        {sampleDate + 1.75, "5554 0500 01 01f15365", {1700000001, 0}},
        {-1.5, "5554 0500 01 feffffff", {-2, 0}},
        {2208988800, "5554 0500 01 807eaa83", {2208988800, 0}},  // 2040-01-01
        {-5364662400, "", {315532800, 0}},  // 1800-01-01: the DOS fields' 1980-01-01
    };
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    for (const auto& [date, extra, time] : cases) {
        archive.appendEntry(std::to_string(date), {.modificationDate = date},
                            [](std::int64_t, std::int64_t) { return Bytes(); });
    }
    std::size_t index = 0;
    for (const Entry& entry : Archive::openMemory(*archive.data(), Archive::AccessMode::read)) {
        ASSERT_LT(index, std::size(cases));
        const auto& [date, extra, time] = cases[index++];
        const auto& central = entry.centralDirectoryStructure;
        EXPECT_EQ(central.extraFieldData, hex(extra)) << date;
        EXPECT_EQ(entry.localFileHeader.extraFieldData, hex(extra)) << date;
        EXPECT_EQ(std::pair(central.lastModFileDate, central.lastModFileTime),
                  std::pair(dosDateOf(date), dosTimeOf(date)))
            << date;
        EXPECT_EQ(entry.modificationTime(), time) << date;
    }
    EXPECT_EQ(index, std::size(cases));
}

TEST(AppendRefusals, WriteNothingAndNameTheCulprit) {
    TemporaryDirectory folder;
    const std::string path = (folder / "a.zip").string();
    openArchive(path);
    Archive readOnly = openArchive(path, Archive::AccessMode::read);
    Archive archive = openArchive(path, Archive::AccessMode::update);
    // A socket is a "file" to the type query but cannot be opened for reading.
    const std::string socketPath = (folder / "socket").string();
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const std::tuple<std::function<void()>, std::error_code, std::string> cases[] = {
        {[&] { appendBytes(readOnly, "a", {}); }, ArchiveError::unwritableArchive, path},
        {[&] { appendBytes(archive, std::string(65536, 'x'), {}); }, ArchiveError::invalidEntryPath,
         path},
        {[&] { appendBytes(archive, "bad\xff", {}); }, ArchiveError::invalidEntryPath, path},
        {[&] { appendBytes(archive, "file/", {}); }, ArchiveError::invalidEntryPath, path},
        // Longer than a link can hold: extraction would refuse the entry (found by fuzzing).
        {[&] {
             archive.appendEntry("link",
                                 {.type = EntryType::symlink,
                                  .uncompressedSize = PATH_MAX,
                                  .modificationDate = sampleDate},
                                 [](std::int64_t, std::int64_t size) { return Bytes(size, 'a'); });
         },
         ArchiveError::invalidEntryPath, path},
        {[&] { archive.appendEntry("x", FileURL::fromPath(socketPath)); },
         std::error_code(ENXIO, std::generic_category()), socketPath},
    };
    for (const auto& [append, expected, culprit] : cases) {
        const auto error = errorOf(append);
        ASSERT_TRUE(error) << "accepted";
        EXPECT_EQ(error->code(), expected) << error->what();
        EXPECT_EQ(error->path(), culprit);
        EXPECT_EQ(fs::file_size(path), 22u);
    }
    ::close(descriptor);
    appendBytes(archive, std::string(65535, 'x'), {});  // the longest name fits
}

TEST(ZIP64SizeDecision, ReservesTheBlockWheneverDeflateMightReachTheLimit) {
    const std::tuple<std::uint64_t, CompressionMethod, bool> cases[] = {
        {0xFFFFFFFE, CompressionMethod::none, false},
        {0xFFFFFFFF, CompressionMethod::none, true},
        {1ULL << 30, CompressionMethod::deflate, false},
        {0xFFF00000, CompressionMethod::deflate, true},
    };
    for (const auto& [size, method, zip64] : cases)
        EXPECT_EQ(needsZIP64Sizes(size, method), zip64) << size;

    // The bound must cover zlib's own worst case for the settings of our coder.
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    for (std::uint64_t size : {0ULL, 16384ULL, 1ULL << 20, 0xFFBFFFFFULL, 0xFFFFFFFEULL})
        EXPECT_GE(maximumDeflatedSize(size), deflateBound(&stream, static_cast<uLong>(size)));
    deflateEnd(&stream);
}

TEST(AppendedArchives, GetZIP64EndRecordsFromThe65535thEntryOn) {
    // A bulk append writes the first 65533 entries with one directory; single appends then cross
    // the limit one entry at a time, and a second bulk append goes on to 70000 entries.
    TemporaryDirectory folder;
    const fs::path path = folder / "many.zip";
    Archive archive = openArchive(path);
    const auto appendEmptyEntries = [&](std::uint64_t from, std::uint64_t to) {
        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (std::uint64_t i = from; i < to; ++i)
            appendBytes(archive, std::to_string(i), {});
        bulk.finish();
    };
    appendEmptyEntries(0, 65533);
    EXPECT_FALSE(archive.zip64EndOfCentralDirectory().has_value());
    for (std::uint64_t count = 65534; count <= 65537; ++count) {  // entries after the append
        appendBytes(archive, "x" + std::to_string(count), bytesOf("data"));
        const bool zip64 = count >= 0xFFFF;
        EXPECT_EQ(archive.zip64EndOfCentralDirectory().has_value(), zip64) << count;
        EXPECT_EQ(archive.endOfCentralDirectoryRecord().totalNumberOfEntriesInCentralDirectory,
                  zip64 ? 0xFFFF : count);
    }
    appendEmptyEntries(65537, 70000);
    EXPECT_EQ(clientComplaints(path), "");
    Archive reopened = openArchive(path, Archive::AccessMode::read);
    EXPECT_EQ(reopened.totalNumberOfEntries(), 70000u);  // only a ZIP64 end record can say so
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("x65537")), bytesOf("data"));
}

// Every way out of a bulk append other than finish() writes the directory too.
TEST(BulkAppendEnds, WriteTheDirectoryOnUnwindingOnMovesAndOnTheArchivesDestruction) {
    enum class Ending { unwinding, handleMovedAway, archiveMoved, archiveDestroyed };
    for (auto ending : {Ending::unwinding, Ending::handleMovedAway, Ending::archiveMoved,
                        Ending::archiveDestroyed}) {
        SCOPED_TRACE(static_cast<int>(ending));
        SampleArchive sample;
        try {
            Archive::BulkAppend bulk = sample.archive->beginBulkAppend();
            for (int i = 0; i < 2; ++i)
                appendNumbered(*sample.archive, i);
            switch (ending) {
                case Ending::unwinding:
                    throw std::runtime_error("the caller's own failure");
                case Ending::handleMovedAway: {
                    Archive::BulkAppend moved = std::move(bulk);
                    EXPECT_TRUE(moved.isOpen());
                    break;  // its destruction ends the run
                }
                case Ending::archiveMoved: {
                    Archive moved = std::move(*sample.archive);
                    EXPECT_FALSE(bulk.isOpen());
                    EXPECT_FALSE(moved.isBulkAppendOpen());
                    sample.archive.emplace(std::move(moved));
                    break;
                }
                case Ending::archiveDestroyed:
                    sample.archive.reset();
                    EXPECT_FALSE(bulk.isOpen());
                    break;
            }
            bulk.finish();  // after any of these endings: nothing left to write, no error
        } catch (const std::runtime_error&) {
            EXPECT_EQ(ending, Ending::unwinding);
        }
        if (!sample.archive)
            sample.archive.emplace(openArchive(sample.path, Archive::AccessMode::update));
        EXPECT_EQ(sample.contents(), sampleContents(2));
        EXPECT_EQ(sample.complaints(), "");
        appendNumbered(*sample.archive, 2);  // the archive's state follows the file
        EXPECT_EQ(sample.contents(), sampleContents(3));
    }
}

TEST(OpenBulkAppends, RefuseListingRemovalAndASecondRunButExtractEarlierEntries) {
    SampleArchive sample;
    Archive& archive = *sample.archive;
    const Entry one = *archive.findEntry("one");
    Archive::BulkAppend bulk = archive.beginBulkAppend();
    appendNumbered(archive, 0);
    EXPECT_THROW(archive.findEntry("one"), Error);
    EXPECT_THROW(archive.removeEntry(one), Error);
    EXPECT_THROW(archive.beginBulkAppend(), Error);
    EXPECT_EQ(entryBytes(archive, one), textBytes(30000));
    appendNumbered(archive, 1);
    bulk.finish();
    EXPECT_EQ(sample.contents(), sampleContents(2));
    Archive reader = openArchive(sample.path, Archive::AccessMode::read);
    EXPECT_THROW(reader.beginBulkAppend(), Error);
}

}  // namespace
}  // namespace marrowzip::testing

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>

#include "marrowzip/operations/append_limits.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

TEST(AppendedRecords, CarryTheValuesOfEmptyFilesFoldersAndLinks) {
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(archive, "empty-stored", {});
    appendBytes(archive, "empty-deflated", {}, CompressionMethod::deflate);
    archive.appendEntry("folder", EntryType::directory, 0, sampleDate, std::nullopt,
                        CompressionMethod::deflate, defaultChunkSize, nullptr,
                        [](std::int64_t, std::int64_t) { return Bytes(); });
    const Bytes target = bytesOf("../lib64/libz.so.1");
    archive.appendEntry("link", EntryType::symlink, static_cast<std::int64_t>(target.size()),
                        sampleDate, 0777, CompressionMethod::deflate, defaultChunkSize, nullptr,
                        [&](std::int64_t, std::int64_t) { return target; });

    const struct {
        std::string path;
        std::uint16_t method;
        std::uint32_t crc32;
        std::uint64_t size;
        std::uint32_t mode;
    } expected[] = {
        {"empty-stored", 0, 0, 0, S_IFREG | 0644},
        {"empty-deflated", 8, 0, 0, S_IFREG | 0644},
        {"folder/", 0, 0, 0, S_IFDIR | 0755},
        {"link", 0, updateCRC32(target, 0), target.size(), S_IFLNK | 0777},
    };
    // Read back from the archive's bytes, as another process would find them.
    Archive reopened = Archive::openMemory(*archive.data(), Archive::AccessMode::read);
    std::size_t index = 0;
    for (const Entry& entry : reopened) {
        ASSERT_LT(index, std::size(expected));
        const auto& want = expected[index++];
        const auto& central = entry.centralDirectoryStructure;
        EXPECT_EQ(entry.path(), want.path);
        EXPECT_EQ(central.compressionMethod, want.method);
        EXPECT_EQ(entry.localFileHeader.crc32, want.crc32);
        EXPECT_EQ(entry.uncompressedSize(), want.size);
        EXPECT_EQ(central.externalFileAttributes, want.mode << 16);
        EXPECT_EQ(central.versionMadeBy, 789);
        EXPECT_EQ(central.versionNeededToExtract, 20);
        EXPECT_EQ(central.generalPurposeBitFlag, 0x0800);
    }
    EXPECT_EQ(index, std::size(expected));
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("link")), target);
}

TEST(AppendRefusals, WriteNothingAndNameTheCulprit) {
    TemporaryDirectory folder;
    const std::string path = (folder / "a.zip").string();
    Archive::openFile(FileURL::fromPath(path), Archive::AccessMode::create);
    Archive readOnly = Archive::openFile(FileURL::fromPath(path), Archive::AccessMode::read);
    Archive archive = Archive::openFile(FileURL::fromPath(path), Archive::AccessMode::update);
    // A socket is a "file" to the type query but cannot be opened for reading.
    const std::string socketPath = (folder / "socket").string();
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const struct {
        std::function<void()> append;
        std::error_code expected;
        std::string path;
    } cases[] = {
        {[&] { appendBytes(readOnly, "a", {}); }, ArchiveError::unwritableArchive, path},
        {[&] { appendBytes(archive, std::string(65536, 'x'), {}); }, ArchiveError::invalidEntryPath,
         path},
        {[&] { appendBytes(archive, "bad\xff", {}); }, ArchiveError::invalidEntryPath, path},
        {[&] { appendBytes(archive, "file/", {}); }, ArchiveError::invalidEntryPath, path},
        // Longer than a link can hold: extraction would refuse the entry.
        {[&] {
             archive.appendEntry("link", EntryType::symlink, PATH_MAX, sampleDate, std::nullopt,
                                 CompressionMethod::none, defaultChunkSize, nullptr,
                                 [](std::int64_t, std::int64_t size) { return Bytes(size, 'a'); });
         },
         ArchiveError::invalidEntryPath, path},
        {[&] { archive.appendEntry("x", FileURL::fromPath(path + ".missing")); },
         FileError::fileReadNoSuchFile, path + ".missing"},
        {[&] { archive.appendEntry("x", FileURL::fromPath(socketPath)); },
         std::error_code(ENXIO, std::generic_category()), socketPath},
    };
    for (const auto& c : cases) {
        try {
            c.append();
            ADD_FAILURE() << "accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), c.expected) << error.what();
            EXPECT_EQ(error.path(), c.path);
        }
        EXPECT_EQ(std::filesystem::file_size(path), 22u);
    }
    ::close(descriptor);
    appendBytes(archive, std::string(65535, 'x'), {});  // the longest name fits
}

TEST(ZIP64SizeDecision, ReservesTheBlockWheneverDeflateMightReachTheLimit) {
    const struct {
        std::uint64_t size;
        CompressionMethod method;
        bool zip64;
    } cases[] = {
        {0xFFFFFFFE, CompressionMethod::none, false},
        {0xFFFFFFFF, CompressionMethod::none, true},
        {1ULL << 30, CompressionMethod::deflate, false},
        {0xFFF00000, CompressionMethod::deflate, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(needsZIP64Sizes(c.size, c.method), c.zip64) << c.size;

    // The bound must cover zlib's own worst case for the settings of our coder.
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    for (std::uint64_t size : {0ULL, 16384ULL, 1ULL << 20, 0xFFBFFFFFULL, 0xFFFFFFFEULL}) {
        EXPECT_GE(maximumDeflatedSize(size), deflateBound(&stream, static_cast<uLong>(size)));
    }
    deflateEnd(&stream);
}

}  // namespace
}  // namespace marrowzip::testing

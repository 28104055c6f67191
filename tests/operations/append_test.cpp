#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include "marrowzip/operations/append_limits.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
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

    struct Expected {
        std::string path;
        std::uint16_t method;
        std::uint32_t crc32;
        std::uint64_t uncompressedSize;
        std::uint32_t mode;
    };
    const std::vector<Expected> expected = {
        {"empty-stored", 0, 0, 0, S_IFREG | 0644},
        {"empty-deflated", 8, 0, 0, S_IFREG | 0644},
        {"folder/", 0, 0, 0, S_IFDIR | 0755},
        {"link", 0, updateCRC32(target, 0), target.size(), S_IFLNK | 0777},
    };
    std::size_t index = 0;
    for (const Entry& entry : archive) {
        ASSERT_LT(index, expected.size());
        const Expected& want = expected[index++];
        const auto& central = entry.centralDirectoryStructure;
        SCOPED_TRACE(want.path);
        EXPECT_EQ(entry.path(), want.path);
        EXPECT_EQ(central.compressionMethod, want.method);
        EXPECT_EQ(entry.localFileHeader.compressionMethod, want.method);
        EXPECT_EQ(entry.checksum(), want.crc32);
        EXPECT_EQ(entry.localFileHeader.crc32, want.crc32);
        EXPECT_EQ(entry.uncompressedSize(), want.uncompressedSize);
        EXPECT_EQ(central.externalFileAttributes, want.mode << 16);
        EXPECT_EQ(central.versionMadeBy, 789);
        EXPECT_EQ(central.versionNeededToExtract, 20);
        EXPECT_EQ(central.generalPurposeBitFlag, 0x0800);
        EXPECT_TRUE(central.extraFieldData.empty());
        if (want.method == 0) {
            EXPECT_EQ(entry.compressedSize(), want.uncompressedSize);
        }
    }
    EXPECT_EQ(index, expected.size());
    EXPECT_EQ(entryBytes(archive, *archive.findEntry("link")), target);
}

TEST(AppendedRecords, AnInMemoryArchiveReopensFromItsBytes) {
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    const Bytes text = textBytes(100000), noise = randomBytes(40000);
    appendBytes(archive, "text.txt", text, CompressionMethod::deflate);
    appendBytes(archive, "noise.bin", noise);
    appendBytes(archive, "grüße/ß.txt", text, CompressionMethod::deflate, nullptr, 1000);

    Archive reopened = Archive::openMemory(*archive.data(), Archive::AccessMode::read);
    EXPECT_EQ(reopened.totalNumberOfEntries(), 3u);
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("text.txt")), text);
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("noise.bin")), noise);
    EXPECT_EQ(entryBytes(reopened, *reopened.findEntry("grüße/ß.txt")), text);
}

TEST(AppendRefusals, WriteNothing) {
    TemporaryDirectory folder;
    const auto path = folder / "a.zip";
    Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    const Bytes before = readFileBytes(path);
    Archive readOnly =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);
    Archive writable =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::update);

    const struct {
        Archive* archive;
        std::string path;
        std::int64_t bufferSize;
        std::error_code expected;
    } cases[] = {
        {&readOnly, "a.txt", defaultChunkSize, ArchiveError::unwritableArchive},
        {&writable, std::string(65536, 'x'), defaultChunkSize, ArchiveError::invalidEntryPath},
        {&writable, "bad\xff.txt", defaultChunkSize, ArchiveError::invalidEntryPath},
        {&writable, "file-with-slash/", defaultChunkSize, ArchiveError::invalidEntryPath},
        {&writable, "a.txt", 0, ArchiveError::invalidBufferSize},
        {&writable, std::string(65535, 'x'), defaultChunkSize, {}},  // the longest name fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 20));
        try {
            appendBytes(*c.archive, c.path, bytesOf("data"), CompressionMethod::none, nullptr,
                        c.bufferSize);
            EXPECT_FALSE(c.expected) << "accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), c.expected);
            EXPECT_EQ(readFileBytes(path), before);
        }
    }
    EXPECT_EQ(writable.totalNumberOfEntries(), 1u);
}

TEST(AppendFromFileSystem, NamesTheSourceItemInItsErrors) {
    TemporaryDirectory folder;
    const auto archivePath = folder / "a.zip";
    Archive archive =
        Archive::openFile(FileURL::fromPath(archivePath.string()), Archive::AccessMode::create);
    // A socket is a "file" to the type query but cannot be opened for reading.
    const auto socketPath = folder / "socket";
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const struct {
        std::filesystem::path item;
        std::error_code expected;
    } cases[] = {
        {folder / "missing", FileError::fileReadNoSuchFile},
        {socketPath, std::error_code(ENXIO, std::generic_category())},
    };
    for (const auto& c : cases) {
        try {
            archive.appendEntry("x", FileURL::fromPath(c.item.string()));
            ADD_FAILURE() << "accepted " << c.item;
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), c.expected);
            EXPECT_EQ(error.path(), c.item.string());
        }
    }
    ::close(descriptor);
    EXPECT_EQ(archive.totalNumberOfEntries(), 0u);
    EXPECT_EQ(std::filesystem::file_size(archivePath), 22u);
}

TEST(ZIP64SizeDecision, ReservesTheBlockWheneverDeflateMightReachTheLimit) {
    const struct {
        std::uint64_t size;
        CompressionMethod method;
        bool zip64;
    } cases[] = {
        {0, CompressionMethod::none, false},
        {0xFFFFFFFE, CompressionMethod::none, false},
        {0xFFFFFFFF, CompressionMethod::none, true},
        {1ULL << 30, CompressionMethod::deflate, false},
        {0xFFFFFFFE, CompressionMethod::deflate, true},
        {0xFFF00000, CompressionMethod::deflate, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(needsZIP64Sizes(c.size, c.method), c.zip64) << c.size;

    // The bound must cover zlib's own worst case for the settings of our coder.
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    for (std::uint64_t size : {0ULL, 1ULL, 16384ULL, 1ULL << 20, 0xFFBFFFFFULL, 0xFFFFFFFEULL}) {
        EXPECT_GE(maximumDeflatedSize(size), deflateBound(&stream, static_cast<uLong>(size)));
    }
    deflateEnd(&stream);
    // And our own compressor stays within it on incompressible data.
    const Bytes noise = randomBytes(1 << 20);
    std::uint64_t compressed = 0;
    compressDeflate(
        static_cast<std::int64_t>(noise.size()), defaultChunkSize,
        [&](std::int64_t position, std::int64_t size) {
            return Bytes(noise.begin() + position, noise.begin() + position + size);
        },
        [&](ByteView chunk) { compressed += chunk.size(); });
    EXPECT_LE(compressed, maximumDeflatedSize(noise.size()));
}

}  // namespace
}  // namespace marrowzip::testing

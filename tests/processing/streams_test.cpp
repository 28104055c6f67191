// The byte-moving primitives over files and the in-memory stream files that hold archives being
// built in memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/update_journal.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;
using Requests = std::vector<std::pair<std::int64_t, std::int64_t>>;

// A size from a damaged record (4 GiB) must not be allocated up front, whether the stream can
// tell its length (a file) or not (memory, and pipes alike); at the end a read delivers nothing,
// and a stream that failed fails every later read and write, even of nothing.
TEST(StreamRead, HugeRequestDeliversTheRealBytesAndFailuresStick) {
    TemporaryDirectory folder;
    const Bytes contents = randomBytes(200'000);
    writeFileBytes(folder / "f", contents);
    const UniqueFile file(std::fopen((folder / "f").c_str(), "rb"));
    const auto inMemory = MemoryFile::make(contents)->openStream("rb");
    for (std::FILE* stream : {file.get(), inMemory.get()}) {
        const Bytes chunk = readStreamChunk(std::int64_t{1} << 32, stream);
        EXPECT_EQ(chunk, contents);
        EXPECT_LE(chunk.capacity(), 2 * contents.size() + 64 * 1024);
        EXPECT_TRUE(readStreamChunk(100, stream).empty());
    }
    const UniqueFile writeOnly(std::fopen((folder / "g").c_str(), "wb"));
    EXPECT_THROW(readStreamChunk(10, writeOnly.get()), Error);
    EXPECT_THROW(readStreamChunk(0, writeOnly.get()), Error);
    EXPECT_THROW(writeStreamChunk({}, writeOnly.get()), Error);
}

// Of a size that claims more, only the bytes that exist are written; whole buffers go with every
// append.
TEST(StreamWrite, PiecesWriteWhatExistsOfTheBuffer) {
    const Bytes data = randomBytes(40'000);
    auto file = MemoryFile::make();
    EXPECT_EQ(writeStreamInPieces(data, 50'000, 16384, file->openStream("wb+").get()), 40'000u);
    EXPECT_EQ(file->data(), data);
    EXPECT_THROW(writeStreamInPieces(data, 10, 0, file->openStream("wb+").get()), Error);
}

// Whole chunks are asked for, even when the archive ends early and fewer bytes come. Empty
// entries, a last short chunk and skipped checksums come through extractions.
TEST(StoredCopy, AsksTheProviderForWholeChunksOnly) {
    const Bytes data = randomBytes(10);
    Requests requests;
    const auto provider = [&](std::int64_t position, std::int64_t wanted) {
        requests.emplace_back(position, wanted);
        return position == 0 ? data : Bytes{};
    };
    Bytes received;
    const auto checksum = copyStoredData(40, 16, false, provider, [&](ByteView chunk) {
        received.insert(received.end(), chunk.begin(), chunk.end());
    });
    EXPECT_EQ(requests, (Requests{{0, 16}, {16, 16}, {32, 8}}));
    EXPECT_EQ(received, data);
    EXPECT_EQ(checksum, updateCRC32(data, 0));
    EXPECT_THROW(copyStoredData(40, 0, false, provider, [](ByteView) {}), Error);
}

// "rb" refuses writes, "a" starts at the end and keeps the buffer ("wb+" keeps it too: see the
// creation of archives in memory), and a stream keeps its file alive until it is closed.
TEST(MemoryFileStream, ModesSetOnlyTheStartAndReadOnlyRefusesWrites) {
    const Bytes original = randomBytes(30);
    auto file = MemoryFile::make(original);
    const std::weak_ptr<MemoryFile> watcher = file;
    auto reading = file->openStream("rb");
    EXPECT_EQ(readStreamChunk(64, reading.get()), original);
    EXPECT_THROW(writeStreamChunk(Bytes(8, 1), reading.get()), Error);
    reading.reset();
    auto appending = file->openStream("a");
    EXPECT_EQ(ftello(appending.get()), 30);
    writeStreamChunk(Bytes{'x', 'y'}, appending.get());
    appending.reset();
    EXPECT_EQ(file->data().size(), 32u);
    auto last = file->openStream("rb");
    file.reset();
    EXPECT_FALSE(watcher.expired());
    last.reset();
    EXPECT_TRUE(watcher.expired());
}

// Writes within the buffer and across its end come with every append to an archive in memory.
TEST(MemoryFileStream, PositionsOutsideTheBufferFillGapsWithZerosOrFailWithoutCrashing) {
    auto file = MemoryFile::make(Bytes{1, 2, 3, 4});
    auto stream = file->openStream("rb+");
    ASSERT_EQ(fseeko(stream.get(), 10, SEEK_SET), 0);
    writeStreamChunk(Bytes{0xEE, 0xEE}, stream.get());
    std::fflush(stream.get());
    const Bytes written{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
    EXPECT_EQ(file->data(), written);
    ASSERT_EQ(fseeko(stream.get(), 1'000'000, SEEK_SET), 0);
    EXPECT_TRUE(readStreamChunk(16, stream.get()).empty());
    EXPECT_FALSE(std::ferror(stream.get()));
    // A seek before the start is refused, as a file refuses it, and the position stays.
    EXPECT_NE(fseeko(stream.get(), -20, SEEK_END), 0);
    EXPECT_EQ(ftello(stream.get()), 1'000'000);
    // A write beyond any possible buffer fails and leaves the buffer as it was.
    ASSERT_EQ(fseeko(stream.get(), INT64_MAX - 2, SEEK_SET), 0);
    writeStreamChunk(Bytes(6, 1), stream.get());
    EXPECT_NE(std::fflush(stream.get()), 0);
    EXPECT_EQ(file->data(), written);
}

// The stream a reader gets beside an unfinished update: the file up to the tail offset, then the
// kept tail; it seeks as a file does, and refuses what a file refuses.
TEST(TailedStream, ReadsAcrossTheTailAndSeeksLikeAFile) {
    const UniqueFile scratch(std::tmpfile());
    ASSERT_TRUE(scratch);
    writeStreamChunk(bytesOf("0123456789"), scratch.get());
    ASSERT_EQ(std::fflush(scratch.get()), 0);
    UniqueFile stream =
        openStreamWithTail(UniqueFd(::dup(::fileno(scratch.get()))), 4, bytesOf("abc"));
    ASSERT_TRUE(stream);
    ASSERT_EQ(fseeko(stream.get(), 2, SEEK_SET), 0);
    EXPECT_EQ(readStreamChunk(4, stream.get()), bytesOf("23ab"));
    ASSERT_EQ(fseeko(stream.get(), -2, SEEK_END), 0);
    EXPECT_EQ(readStreamChunk(10, stream.get()), bytesOf("bc"));
    EXPECT_NE(fseeko(stream.get(), -8, SEEK_END), 0);
    // A position beyond the signed range is refused instead of wrapping around.
    EXPECT_EQ(seekTarget(INT64_MAX, SEEK_END, 0, 7), -1);
    EXPECT_EQ(seekTarget(INT64_MIN, SEEK_CUR, -1, 7), -1);
    EXPECT_EQ(seekTarget(0, SEEK_DATA, 0, 7), -1);
}

}  // namespace
}  // namespace marrowzip

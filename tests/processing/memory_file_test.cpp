#include "marrowzip/processing/memory_file.hpp"

#include <gtest/gtest.h>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::randomBytes;

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

// (initial length, position, bytes written) → the bytes land there, a gap is filled with zeros.
TEST(MemoryFileStream, WritesLandAtThePositionAndFillGapsWithZeros) {
    struct Case {
        std::size_t length, position, written, expectedLength;
    };
    for (const Case& c :
         {Case{0, 0, 22, 22}, Case{4, 10, 2, 12}, Case{5, 2, 8, 10}, Case{5, 1, 2, 5}}) {
        SCOPED_TRACE(c.position);
        auto file = MemoryFile::make(randomBytes(c.length));
        auto stream = file->openStream("rb+");
        ASSERT_EQ(fseeko(stream.get(), static_cast<off_t>(c.position), SEEK_SET), 0);
        writeStreamChunk(Bytes(c.written, 0xEE), stream.get());
        std::fflush(stream.get());

        Bytes expected = randomBytes(c.length);
        expected.resize(std::max(c.length, c.position + c.written), 0);
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(c.position), c.written, 0xEE);
        EXPECT_EQ(file->data().size(), c.expectedLength);
        EXPECT_EQ(file->data(), expected);
    }
}

TEST(MemoryFileStream, ReadOnlyStreamDeliversChunksAndRefusesWrites) {
    const Bytes original = randomBytes(100);
    for (const char* mode : {"rb", ""}) {
        auto file = MemoryFile::make(original);
        auto stream = file->openStream(mode);
        EXPECT_EQ(readStreamChunk(64, stream.get()), slice(original, 0, 64));
        EXPECT_EQ(readStreamChunk(64, stream.get()), slice(original, 64, 36));
        EXPECT_TRUE(readStreamChunk(64, stream.get()).empty());
        try {
            writeStreamChunk(Bytes(8, 1), stream.get());
            std::fflush(stream.get());
            writeStreamChunk({}, stream.get());
            ADD_FAILURE() << "a read-only stream accepted a write";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), DataError::unwritableFile);
        }
        stream.reset();
        EXPECT_EQ(file->data(), original);
    }
}

TEST(MemoryFileStream, PositionsOutsideTheBufferReadNothing) {
    auto file = MemoryFile::make(randomBytes(10));
    auto stream = file->openStream("rb+");
    ASSERT_EQ(fseeko(stream.get(), 1'000'000, SEEK_SET), 0);
    EXPECT_TRUE(readStreamChunk(16, stream.get()).empty());
    EXPECT_FALSE(std::ferror(stream.get()));
    // Before the start is refused, as a file refuses it, and the position stays.
    ASSERT_EQ(fseeko(stream.get(), 4, SEEK_SET), 0);
    EXPECT_NE(fseeko(stream.get(), -20, SEEK_END), 0);
    EXPECT_EQ(ftello(stream.get()), 4);
    EXPECT_EQ(file->seekTo(0, 7), -1);
}

TEST(MemoryFileStream, ModesSetOnlyTheStartAndNeverEmptyTheBuffer) {
    const Bytes original = randomBytes(30);
    auto file = MemoryFile::make(original);
    auto appending = file->openStream("a");
    EXPECT_EQ(ftello(appending.get()), 30);
    writeStreamChunk(Bytes{'x', 'y'}, appending.get());
    appending.reset();
    EXPECT_EQ(file->data().size(), 32u);

    auto rewriting = file->openStream("wb+");
    EXPECT_EQ(slice(readStreamChunk(100, rewriting.get()), 0, 30), original);
}

TEST(MemoryFileStream, StreamKeepsTheFileAliveUntilClosed) {
    auto file = MemoryFile::make(randomBytes(5));
    const std::weak_ptr<MemoryFile> watcher = file;
    auto stream = file->openStream("wb+");
    file.reset();
    EXPECT_FALSE(watcher.expired());
    stream.reset();
    EXPECT_TRUE(watcher.expired());
}

TEST(MemoryFileStream, WriteBeyondAnyPossibleBufferFailsWithoutCrashing) {
    auto file = MemoryFile::make(randomBytes(5));
    auto stream = file->openStream("rb+");
    ASSERT_EQ(fseeko(stream.get(), INT64_MAX - 2, SEEK_SET), 0);
    EXPECT_THROW(
        {
            writeStreamChunk(Bytes(6, 1), stream.get());
            std::fflush(stream.get());
            writeStreamChunk({}, stream.get());
        },
        Error);
    EXPECT_EQ(file->data(), randomBytes(5));
}

}  // namespace
}  // namespace marrowzip

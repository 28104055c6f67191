#include "marrowzip/processing/memory_file.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::bytesOf;

Bytes sequence(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    return bytes;
}

TEST(MemoryFileStream, WritesReachTheBufferOnFlush) {
    auto file = MemoryFile::make();
    auto stream = file->openStream("wb+");
    ASSERT_TRUE(stream);
    EXPECT_EQ(writeStreamChunk(sequence(22), stream.get()), 22u);
    std::fflush(stream.get());
    EXPECT_EQ(file->data(), sequence(22));
}

TEST(MemoryFileStream, ReadsInChunksUntilTheEnd) {
    auto file = MemoryFile::make(sequence(100));
    auto stream = file->openStream("rb");
    ASSERT_TRUE(stream);
    const Bytes all = sequence(100);
    EXPECT_EQ(readStreamChunk(64, stream.get()), Bytes(all.begin(), all.begin() + 64));
    EXPECT_EQ(readStreamChunk(64, stream.get()).size(), 36u);
    EXPECT_TRUE(readStreamChunk(64, stream.get()).empty());
    EXPECT_TRUE(std::feof(stream.get()));
}

TEST(MemoryFileStream, ReadOnlyStreamRefusesWritesAndKeepsTheBuffer) {
    for (const char* mode : {"r", "rb", ""}) {
        SCOPED_TRACE(mode);
        auto file = MemoryFile::make(sequence(100));
        auto stream = file->openStream(mode);
        ASSERT_TRUE(stream);
        try {
            writeStreamChunk(bytesOf("overwrite"), stream.get());
            std::fflush(stream.get());
            writeStreamChunk({}, stream.get());
            FAIL() << "the write was accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), DataError::unwritableFile);
        }
        stream.reset();
        EXPECT_EQ(file->data(), sequence(100));
    }
}

// Where the bytes of a write land: (initial length, seek position, bytes written) → contents.
TEST(MemoryFileStream, WritesLandAtThePositionAndFillGapsWithZeros) {
    struct Case {
        std::size_t initialLength;
        long position;
        std::size_t written;
        std::size_t expectedLength;
    };
    for (const Case& c :
         {Case{4, 10, 2, 12}, Case{5, 2, 8, 10}, Case{5, 1, 2, 5}, Case{0, 0, 3, 3}}) {
        SCOPED_TRACE(c.position);
        auto file = MemoryFile::make(sequence(c.initialLength));
        auto stream = file->openStream("rb+");
        ASSERT_TRUE(stream);
        ASSERT_EQ(fseeko(stream.get(), c.position, SEEK_SET), 0);
        const Bytes written(c.written, 0xEE);
        writeStreamChunk(written, stream.get());
        stream.reset();

        Bytes expected = sequence(c.initialLength);
        expected.resize(std::max(expected.size(), c.position + c.written), 0);
        std::copy(written.begin(), written.end(), expected.begin() + c.position);
        EXPECT_EQ(file->data().size(), c.expectedLength);
        EXPECT_EQ(file->data(), expected);
    }
}

TEST(MemoryFileStream, ReadAfterASeekPastTheEndDeliversNothing) {
    auto file = MemoryFile::make(sequence(10));
    auto stream = file->openStream("rb");
    ASSERT_EQ(fseeko(stream.get(), 1'000'000, SEEK_SET), 0);
    EXPECT_TRUE(readStreamChunk(16, stream.get()).empty());
    EXPECT_FALSE(std::ferror(stream.get()));
    // Also when the callback itself is asked directly.
    std::array<char, 4> out{};
    EXPECT_EQ(file->readBytes(out.data(), out.size()), 0u);
}

TEST(MemoryFileStream, SeekBeforeTheStartIsRefusedAndKeepsThePosition) {
    auto file = MemoryFile::make(sequence(10));
    auto stream = file->openStream("rb+");
    ASSERT_EQ(fseeko(stream.get(), 4, SEEK_SET), 0);
    EXPECT_NE(fseeko(stream.get(), -20, SEEK_END), 0);
    EXPECT_EQ(ftello(stream.get()), 4);
    EXPECT_EQ(file->seekTo(-1, SEEK_SET), -1);
    EXPECT_EQ(file->seekTo(0, 7), -1);
    const std::int64_t moved = file->seekTo(3, SEEK_CUR);
    EXPECT_EQ(moved, file->offset());
}

TEST(MemoryFileStream, AppendModeStartsAtTheEnd) {
    auto file = MemoryFile::make(sequence(7));
    auto stream = file->openStream("a");
    ASSERT_TRUE(stream);
    EXPECT_EQ(ftello(stream.get()), 7);
    writeStreamChunk(bytesOf("xy"), stream.get());
    stream.reset();
    EXPECT_EQ(file->data().size(), 9u);
    EXPECT_EQ(file->data()[7], 'x');
}

TEST(MemoryFileStream, WriteModeKeepsExistingBytes) {
    auto file = MemoryFile::make(sequence(30));
    auto stream = file->openStream("wb+");
    ASSERT_TRUE(stream);
    EXPECT_EQ(ftello(stream.get()), 0);
    EXPECT_EQ(readStreamChunk(100, stream.get()), sequence(30));
    ASSERT_EQ(fseeko(stream.get(), 0, SEEK_END), 0);
    EXPECT_EQ(ftello(stream.get()), 30);
}

TEST(MemoryFileStream, StreamKeepsTheFileAliveUntilClosed) {
    auto file = MemoryFile::make(sequence(5));
    std::weak_ptr<MemoryFile> watcher = file;
    auto stream = file->openStream("rb+");
    file.reset();
    EXPECT_FALSE(watcher.expired());
    writeStreamChunk(bytesOf("abc"), stream.get());
    stream.reset();
    EXPECT_TRUE(watcher.expired());
}

TEST(MemoryFileStream, WriteFarPastAnyPossibleBufferFailsInsteadOfCrashing) {
    auto file = MemoryFile::make(sequence(5));
    auto stream = file->openStream("rb+");
    ASSERT_EQ(fseeko(stream.get(), INT64_MAX - 2, SEEK_SET), 0);
    EXPECT_THROW(
        {
            writeStreamChunk(bytesOf("abcdef"), stream.get());
            std::fflush(stream.get());
            writeStreamChunk({}, stream.get());
        },
        Error);
    stream.reset();
    EXPECT_EQ(file->data(), sequence(5));
}

}  // namespace
}  // namespace marrowzip

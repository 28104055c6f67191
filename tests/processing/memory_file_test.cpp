#include "marrowzip/processing/memory_file.hpp"

#include <gtest/gtest.h>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using testing::randomBytes;

// {initial length, position, bytes written}: the bytes land there and a gap is zero-filled.
TEST(MemoryFileStream, WritesLandAtThePositionAndFillGapsWithZeros) {
    for (auto [length, position, written] :
         {std::array<std::size_t, 3>{0, 0, 22}, {4, 10, 2}, {5, 2, 8}, {5, 1, 2}}) {
        auto file = MemoryFile::make(randomBytes(length));
        auto stream = file->openStream("rb+");
        ASSERT_EQ(fseeko(stream.get(), static_cast<off_t>(position), SEEK_SET), 0);
        writeStreamChunk(Bytes(written, 0xEE), stream.get());
        std::fflush(stream.get());

        Bytes expected = randomBytes(length);
        expected.resize(std::max(length, position + written), 0);
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(position), written, 0xEE);
        EXPECT_EQ(file->data(), expected) << "write at " << position;
    }
}

// "rb" refuses writes, "wb+" and "a" set only the start: no mode empties the buffer.
TEST(MemoryFileStream, ModesSetOnlyTheStartAndReadOnlyRefusesWrites) {
    const Bytes original = randomBytes(30);
    auto file = MemoryFile::make(original);
    auto reading = file->openStream("rb");
    EXPECT_EQ(readStreamChunk(64, reading.get()), original);
    EXPECT_THROW(
        {
            writeStreamChunk(Bytes(8, 1), reading.get());
            std::fflush(reading.get());
            writeStreamChunk({}, reading.get());
        },
        Error);
    reading.reset();
    EXPECT_EQ(readStreamChunk(64, file->openStream("wb+").get()), original);
    auto appending = file->openStream("a");
    EXPECT_EQ(ftello(appending.get()), 30);
    writeStreamChunk(Bytes{'x', 'y'}, appending.get());
    appending.reset();
    EXPECT_EQ(file->data().size(), 32u);
}

TEST(MemoryFileStream, PositionsFarOutsideTheBufferFailWithoutCrashing) {
    auto file = MemoryFile::make(randomBytes(10));
    auto stream = file->openStream("rb+");
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
    EXPECT_EQ(file->data(), randomBytes(10));
}

TEST(MemoryFileStream, StreamKeepsTheFileAliveUntilClosed) {
    auto file = MemoryFile::make();
    const std::weak_ptr<MemoryFile> watcher = file;
    auto stream = file->openStream("wb+");
    file.reset();
    EXPECT_FALSE(watcher.expired());
    stream.reset();
    EXPECT_TRUE(watcher.expired());
}

}  // namespace
}  // namespace marrowzip

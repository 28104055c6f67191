#include "marrowzip/processing/chunked_io.hpp"

#include <gtest/gtest.h>

#include "coding.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;
using Requests = std::vector<std::pair<std::int64_t, std::int64_t>>;

TEST(StreamRead, AtTheEndDeliversWhatIsThereAndFailuresStick) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "f", randomBytes(140));
    const UniqueFile stream(std::fopen((folder / "f").c_str(), "rb"));
    ASSERT_EQ(fseeko(stream.get(), 100, SEEK_SET), 0);
    EXPECT_EQ(readStreamChunk(100, stream.get()).size(), 40u);
    EXPECT_TRUE(readStreamChunk(100, stream.get()).empty());

    const UniqueFile writeOnly(std::fopen((folder / "g").c_str(), "wb"));
    EXPECT_THROW(readStreamChunk(10, writeOnly.get()), Error);
    EXPECT_THROW(readStreamChunk(10, writeOnly.get()), Error);
    EXPECT_THROW(writeStreamChunk({}, writeOnly.get()), Error);  // even an empty write
}

// A size from a damaged record (4 GiB) must not be allocated up front, whatever the stream.
TEST(StreamRead, HugeRequestFromASmallStreamDeliversTheRealBytes) {
    TemporaryDirectory folder;
    const Bytes contents = randomBytes(200'000);
    writeFileBytes(folder / "f", contents);
    const UniqueFile file(std::fopen((folder / "f").c_str(), "rb"));
    const auto inMemory = MemoryFile::make(contents)->openStream("rb");
    std::FILE* pipe = ::popen(("cat " + shellQuote((folder / "f").string())).c_str(), "r");
    for (std::FILE* stream : {file.get(), inMemory.get(), pipe}) {
        ASSERT_NE(stream, nullptr);
        const Bytes chunk = readStreamChunk(std::int64_t{1} << 32, stream);
        EXPECT_EQ(chunk, contents);
        EXPECT_LE(chunk.capacity(), 2 * contents.size() + 64 * 1024);
    }
    ::pclose(pipe);
}

TEST(StreamWrite, PiecesWriteTheWholeBufferOrWhatExistsOfIt) {
    const Bytes data = randomBytes(40'000);
    for (auto [size, written] :
         {std::pair<std::uint64_t, std::size_t>{40'000, 40'000}, {50'000, 40'000}, {0, 0}}) {
        auto file = MemoryFile::make();
        EXPECT_EQ(writeStreamInPieces(data, size, 16384, file->openStream("wb+").get()), written);
        EXPECT_EQ(file->data(), Bytes(data.begin(), data.begin() + written));
    }
    EXPECT_THROW(writeStreamInPieces(data, 10, 0, MemoryFile::make()->openStream("wb+").get()),
                 Error);
}

// {size, bytes available, requests}: whole chunks are asked for, even when fewer bytes come.
TEST(StoredCopy, AsksTheProviderForWholeChunksOnly) {
    const std::tuple<std::int64_t, std::size_t, Requests> cases[] = {
        {0, 0, {}},
        {32, 32, {{0, 16}, {16, 16}}},
        {17, 17, {{0, 16}, {16, 1}}},
        {40, 10, {{0, 16}, {16, 16}, {32, 8}}},  // the archive ends early
    };
    for (const auto& [size, available, expected] : cases) {
        const Bytes data = randomBytes(available);
        Requests requests;
        Bytes received;
        int consumerCalls = 0;
        const auto checksum = copyStoredData(
            size, 16, false,
            [&](std::int64_t position, std::int64_t wanted) {
                requests.emplace_back(position, wanted);
                return providerOf(data)(position, wanted);
            },
            [&](ByteView chunk) {
                ++consumerCalls;
                appendingTo(received)(chunk);
            });
        EXPECT_EQ(requests, expected);
        EXPECT_EQ(consumerCalls, std::max<int>(1, static_cast<int>(expected.size())));
        EXPECT_EQ(received, data);
        EXPECT_EQ(checksum, updateCRC32(data, 0));
    }
    const auto provider = [](std::int64_t, std::int64_t wanted) { return Bytes(wanted, 7); };
    EXPECT_EQ(copyStoredData(40, 16, true, provider, [](ByteView) {}), 0u);
    EXPECT_THROW(copyStoredData(40, 0, false, provider, [](ByteView) {}), Error);
}

}  // namespace
}  // namespace marrowzip

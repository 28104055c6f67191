#include "marrowzip/processing/chunked_io.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;
using Request = std::pair<std::int64_t, std::int64_t>;

UniqueFile openFile(const std::filesystem::path& path, const char* mode) {
    return UniqueFile(std::fopen(path.c_str(), mode));
}

TEST(StreamRead, AtTheEndDeliversWhatIsThereWithoutError) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "f", randomBytes(140));
    auto stream = openFile(folder / "f", "rb");
    ASSERT_EQ(fseeko(stream.get(), 100, SEEK_SET), 0);
    EXPECT_EQ(readStreamChunk(100, stream.get()).size(), 40u);
    EXPECT_TRUE(readStreamChunk(100, stream.get()).empty());
}

TEST(StreamRead, FailureOnAWriteOnlyStreamIsSticky) {
    TemporaryDirectory folder;
    auto stream = openFile(folder / "f", "wb");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            readStreamChunk(10, stream.get());
            ADD_FAILURE() << "a write-only stream was read";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), DataError::unreadableFile);
        }
    }
    // A stream in error refuses even an empty write.
    EXPECT_THROW(writeStreamChunk({}, stream.get()), Error);
}

// A size from a damaged record (4 GiB) must not be allocated up front, whatever the stream.
TEST(StreamRead, HugeRequestFromASmallStreamDeliversTheRealBytes) {
    TemporaryDirectory folder;
    const Bytes contents = randomBytes(200'000);
    writeFileBytes(folder / "f", contents);
    auto memory = MemoryFile::make(contents);
    std::vector<UniqueFile> streams;
    streams.push_back(openFile(folder / "f", "rb"));
    streams.push_back(memory->openStream("rb"));
    streams.push_back(
        UniqueFile(::popen(("cat " + shellQuote((folder / "f").string())).c_str(), "r")));
    for (auto& stream : streams) {
        ASSERT_TRUE(stream);
        EXPECT_EQ(readStreamChunk(std::int64_t{1} << 32, stream.get()), contents);
    }
    ::pclose(streams.back().release());
}

TEST(StreamWrite, PiecesWriteTheWholeBufferOrWhatExistsOfIt) {
    const Bytes data = randomBytes(40'000);
    struct Case {
        std::uint64_t size, expected;
    };
    for (const Case& c : {Case{40'000, 40'000}, Case{50'000, 40'000}, Case{0, 0}}) {
        auto file = MemoryFile::make();
        auto stream = file->openStream("wb+");
        EXPECT_EQ(writeStreamInPieces(data, c.size, 16384, stream.get()), c.expected);
        stream.reset();
        EXPECT_EQ(file->data(), Bytes(data.begin(), data.begin() + c.expected));
    }
    auto stream = MemoryFile::make()->openStream("wb+");
    EXPECT_THROW(writeStreamInPieces(data, 10, 0, stream.get()), Error);
}

TEST(Checksum, IsTheZipCrcAndContinuesAcrossChunks) {
    const Bytes check = bytesOf("123456789");
    EXPECT_EQ(updateCRC32(check, 0), 0xCBF43926u);
    EXPECT_EQ(updateCRC32({}, 0), 0u);
    const Bytes data = randomBytes(1001);
    const ByteView view(data);
    EXPECT_EQ(updateCRC32(view.subspan(500), updateCRC32(view.first(500), 0)),
              updateCRC32(data, 0));
}

// (size, bufferSize) → the provider requests of a stored copy.
TEST(StoredCopy, AsksTheProviderForWholeChunksOnly) {
    struct Case {
        std::int64_t size, bufferSize;
        std::vector<Request> expected;
    };
    const std::vector<Case> cases = {
        {0, 16, {}},
        {32, 16, {{0, 16}, {16, 16}}},
        {17, 16, {{0, 16}, {16, 1}}},
        {5, 16, {{0, 5}}},
    };
    for (const Case& c : cases) {
        std::vector<Request> requests;
        int consumerCalls = 0;
        const Bytes data = randomBytes(static_cast<std::size_t>(c.size));
        Bytes received;
        const auto checksum = copyStoredData(
            c.size, c.bufferSize, false,
            [&](std::int64_t position, std::int64_t size) {
                requests.emplace_back(position, size);
                return Bytes(data.begin() + position, data.begin() + position + size);
            },
            [&](ByteView chunk) {
                ++consumerCalls;
                received.insert(received.end(), chunk.begin(), chunk.end());
            });
        EXPECT_EQ(requests, c.expected);
        EXPECT_EQ(consumerCalls, std::max<int>(1, static_cast<int>(c.expected.size())));
        EXPECT_EQ(received, data);
        EXPECT_EQ(checksum, updateCRC32(data, 0));
    }
}

TEST(StoredCopy, ShortDeliveriesKeepTheRequestsAndChecksumOnlyWhatCame) {
    std::vector<Request> requests;
    const auto provider = [&](std::int64_t position, std::int64_t size) {
        requests.emplace_back(position, size);
        return position == 0 ? Bytes(10, 7) : Bytes{};
    };
    const auto ignore = [](ByteView) {};
    EXPECT_EQ(copyStoredData(40, 16, false, provider, ignore), updateCRC32(Bytes(10, 7), 0));
    EXPECT_EQ(requests, (std::vector<Request>{{0, 16}, {16, 16}, {32, 8}}));
    EXPECT_EQ(copyStoredData(40, 16, true, provider, ignore), 0u);
    EXPECT_THROW(copyStoredData(40, 0, false, provider, ignore), Error);
}

}  // namespace
}  // namespace marrowzip

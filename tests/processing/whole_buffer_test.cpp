#include "marrowzip/processing/whole_buffer.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "coding.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

TEST(CRC32, MatchesZlibAcrossChunkSplitsAndKeepsTheChecksumOverEmptyChunks) {
    const Bytes data = randomBytes(70001, 5);
    for (const std::size_t split : {0, 1, 15, 16, 17, 4099, 65536, 70001}) {
        SCOPED_TRACE(split);
        const ByteView all(data);
        std::uint32_t checksum = updateCRC32(all.first(split), 0);
        // An empty span holds null: it must not restart the checksum.
        checksum = updateCRC32(ByteView{}, checksum);
        checksum = updateCRC32(all.subspan(split), checksum);
        EXPECT_EQ(checksum, crc32(0, data.data(), static_cast<uInt>(data.size())));
    }
    EXPECT_EQ(updateCRC32(ByteView{}, 0x12345678), 0x12345678u);
    EXPECT_EQ(updateCRC32(bytesOf("123456789"), 0), 0xCBF43926u);  // the ZIP format's CRC-32
}

TEST(WholeBufferDeflate, GivesStreamsThatZlibInflates) {
    WholeBufferDeflater reused;
    for (const Bytes& input : {Bytes{}, bytesOf("x"), textBytes(300000, 3), randomBytes(100000)}) {
        SCOPED_TRACE(input.size());
        const Bytes compressed = compressDeflateWhole(input);
        EXPECT_EQ(zlibInflate(compressed, input.size()), input);
        EXPECT_EQ(reused.compress(input), compressed);
    }
    EXPECT_THROW(WholeBufferDeflater(13), Error);
}

// The default level was raised to 7 when 6 fell short of zlib's default on text. Real text,
// file by file as an archiver sees it: the engine's own sources.
TEST(WholeBufferDeflate, CompressesTextAtLeastAsWellAsZlibsDefaultLevel) {
    const auto sources = std::filesystem::path(__FILE__).parent_path() / "../../marrowzip";
    std::uint64_t ours = 0;
    std::uint64_t zlibs = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(sources)) {
        if (!item.is_regular_file()) continue;
        const Bytes text = readFileBytes(item.path());
        ours += compressDeflateWhole(text).size();
        zlibs += zlibDeflate(text).size();
    }
    ASSERT_GT(zlibs, 10000u);
    EXPECT_LE(ours, zlibs);
}

TEST(WholeBufferInflate, DeliversExactlyTheDeclaredSizeOrRefusesTheData) {
    const Bytes text = textBytes(50000, 6);
    const Bytes stream = zlibDeflate(text, 6);
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    Bytes damaged = stream;
    damaged[0] = 0xFF;  // a reserved block type
    const std::tuple<const char*, Bytes, std::size_t, bool> cases[] = {
        {"exact", stream, text.size(), true},
        {"bytes after the stream's end", trailing, text.size(), true},
        {"declared one byte short", stream, text.size() - 1, false},
        {"declared one byte long", stream, text.size() + 1, false},
        {"declared empty", stream, 0, false},
        {"cut in half", Bytes(stream.begin(), stream.begin() + stream.size() / 2), text.size(),
         false},
        {"damaged", damaged, text.size(), false},
        {"no bytes at all", {}, text.size(), false},
    };
    WholeBufferInflater inflater;
    for (const auto& [name, input, declared, valid] : cases) {
        SCOPED_TRACE(name);
        Bytes output(declared);
        try {
            inflater.inflate(input, output);
            EXPECT_TRUE(valid) << "no error";
            EXPECT_EQ(output, valid ? text : output);
        } catch (const Error& error) {
            EXPECT_FALSE(valid) << error.what();
            EXPECT_EQ(error.code(), CompressionError::corruptedData);
        }
    }
}

// Input and output count together, and sizes near 2^64 do not overflow the sum.
TEST(WholeBufferBudget, CountsInputAndOutputTogetherWithoutOverflowing) {
    for (auto [compressed, uncompressed, whole] :
         {std::tuple<std::uint64_t, std::uint64_t, bool>{400, 600, true},
          {400, 601, false},
          {1001, 0, false},
          {1, UINT64_MAX, false},
          {UINT64_MAX, 1, false}}) {
        EXPECT_EQ(inflatesWhole(compressed, uncompressed, 1000), whole) << compressed;
    }
    // The worst-case output exceeds the input.
    for (auto [size, whole] : {std::pair<std::uint64_t, bool>{0, true},
                               {400, true},
                               {500, false},
                               {UINT64_MAX, false}}) {
        EXPECT_EQ(compressesWhole(size, 1000), whole) << size;
    }
}

}  // namespace
}  // namespace marrowzip

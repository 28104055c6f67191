#include "marrowzip/processing/whole_buffer.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

// zlib's own raw-DEFLATE coder, the reference both directions are checked against.
Bytes zlibDeflate(const Bytes& input, int level) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&stream, input.size()));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

Bytes zlibInflate(const Bytes& input, std::size_t size) {
    Bytes output;
    decompressDeflate(
        static_cast<std::int64_t>(input.size()), 4096, true,
        [&](std::int64_t position, std::int64_t wanted) {
            const auto start = input.begin() + position;
            return Bytes(start,
                         start + std::min<std::int64_t>(
                                     wanted, static_cast<std::int64_t>(input.size()) - position));
        },
        [&](ByteView chunk) { output.insert(output.end(), chunk.begin(), chunk.end()); }, size);
    return output;
}

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
}

TEST(WholeBufferDeflate, GivesStreamsThatZlibInflatesNoLargerThanZlibsOwnAtTheSameLevel) {
    const std::pair<const char*, Bytes> inputs[] = {
        {"empty", {}},
        {"one byte", bytesOf("x")},
        {"text", textBytes(300000, 3)},
        {"random", randomBytes(100000, 4)},
    };
    WholeBufferDeflater reused;
    for (const auto& [name, input] : inputs) {
        SCOPED_TRACE(name);
        const Bytes compressed = compressDeflateWhole(input);
        EXPECT_EQ(zlibInflate(compressed, input.size()), input);
        EXPECT_EQ(reused.compress(input), compressed);
        EXPECT_TRUE(compressesWhole(input.size()));
    }
    EXPECT_THROW(WholeBufferDeflater(13), Error);
}

// Real text, file by file as an archiver sees it: the engine's own sources.
TEST(WholeBufferDeflate, CompressesTextAtLeastAsWellAsZlibsDefaultLevel) {
    const auto sources = std::filesystem::path(__FILE__).parent_path() / "../../marrowzip";
    std::uint64_t ours = 0;
    std::uint64_t zlibs = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(sources)) {
        if (!item.is_regular_file()) continue;
        const Bytes text = readFileBytes(item.path());
        ours += compressDeflateWhole(text).size();
        zlibs += zlibDeflate(text, Z_DEFAULT_COMPRESSION).size();
    }
    ASSERT_GT(zlibs, 10000u);
    EXPECT_LE(ours, zlibs);
}

TEST(WholeBufferInflate, DeliversExactlyTheDeclaredSizeOrRefusesTheData) {
    const Bytes text = textBytes(50000, 6);
    const Bytes stream = zlibDeflate(text, 6);
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    const Bytes truncated(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    Bytes damaged = stream;
    damaged[0] = 0xFF;  // a reserved block type
    struct Case {
        const char* name;
        Bytes input;
        std::size_t declared;
        bool valid;
    };
    const Case cases[] = {
        {"exact", stream, text.size(), true},
        {"bytes after the stream's end", trailing, text.size(), true},
        {"declared one byte short", stream, text.size() - 1, false},
        {"declared one byte long", stream, text.size() + 1, false},
        {"declared empty", stream, 0, false},
        {"cut in half", truncated, text.size(), false},
        {"damaged", damaged, text.size(), false},
        {"no bytes at all", {}, text.size(), false},
    };
    WholeBufferInflater inflater;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Bytes output(test.declared);
        if (test.valid) {
            inflater.inflate(test.input, output);
            EXPECT_EQ(output, text);
            continue;
        }
        try {
            inflater.inflate(test.input, output);
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), CompressionError::corruptedData);
        }
    }
}

TEST(WholeBufferBudget, CountsInputAndOutputTogetherWithoutOverflowing) {
    constexpr std::uint64_t budget = 1000;
    EXPECT_TRUE(inflatesWhole(400, 600, budget));
    EXPECT_FALSE(inflatesWhole(400, 601, budget));
    EXPECT_FALSE(inflatesWhole(1001, 0, budget));
    EXPECT_FALSE(inflatesWhole(1, UINT64_MAX, budget));
    EXPECT_FALSE(inflatesWhole(UINT64_MAX, 1, budget));
    EXPECT_TRUE(compressesWhole(0, budget));
    EXPECT_TRUE(compressesWhole(400, budget));
    EXPECT_FALSE(compressesWhole(500, budget));  // the worst-case output exceeds the input
    EXPECT_FALSE(compressesWhole(UINT64_MAX, budget));
    // A budget of 64 MiB takes files up to a little under 32 MiB in one piece.
    EXPECT_TRUE(compressesWhole(wholeBufferBudget / 2 - 65536));
    EXPECT_FALSE(compressesWhole(wholeBufferBudget / 2));
}

}  // namespace
}  // namespace marrowzip
